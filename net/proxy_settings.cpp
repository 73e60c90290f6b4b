// The proxy rules of Internet Options and of wget and curl, so that the
// program's own transport goes where WININET would, and where a user of
// AUTOEXEC.BAT's http_proxy expects. A setting that cannot be used is said
// in words, never dropped unseen: the request then goes direct, and if it
// fails, the box says which setting was at fault and why.
#include "net/proxy_settings.h"

#include "net/text.h"

namespace {

const size_t npos = std::string::npos;
const char kInternetOptions[] = "Internet Options";
// Wider than any setting typed by hand, narrow enough for a box.
const size_t kShownLength = 100;

std::string Lowered(std::string text)
{
    for (char &c : text)
        c = LowerCase(c);
    return text;
}

bool IsHostChar(char c)
{
    c = LowerCase(c);
    return (c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '.' || c == '_';
}

// The next item of a list split at any of separators, empty items skipped.
bool NextItem(const std::string &list, const char *separators, size_t *at, std::string *item)
{
    const size_t first = list.find_first_not_of(separators, *at);
    if (first == npos)
        return false;
    const size_t end = list.find_first_of(separators, first);
    *item = list.substr(first, end == npos ? npos : end - first);
    *at = end;
    return true;
}

// '*' stands for any run of characters, case aside. A failed '*' only
// ever needs to swallow one more character, so no recursion is needed.
bool WildcardMatches(const std::string &pattern, const std::string &text)
{
    size_t p = 0, t = 0, star = npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && LowerCase(pattern[p]) == LowerCase(text[t])) {
            ++p;
            ++t;
        } else if (star != npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// ProxyOverride as Internet Options keep it: host patterns with '*', which
// may carry a scheme ("http://*.lan") or a port ("intranet:8080") and then
// match only those; "<local>" for any name without a dot.
bool Overridden(const std::string &list, bool secure, const std::string &host, uint16_t port)
{
    size_t at = 0;
    std::string pattern;
    while (NextItem(list, "; \t", &at, &pattern)) {
        if (Lowered(pattern) == "<local>") {
            if (host.find('.') == npos)
                return true;
            continue;
        }
        const size_t scheme = pattern.find("://");
        const size_t hostStart = scheme == npos ? 0 : scheme + 3;
        std::string subject = host;
        if (pattern.find(':', hostStart) != npos)
            subject += ":" + DecimalText(port);
        if (scheme != npos)
            subject.insert(0, secure ? "https://" : "http://");
        if (WildcardMatches(pattern, subject))
            return true;
    }
    return false;
}

// no_proxy as wget and curl read it: "*", or names that match themselves
// and every name under them, a leading dot or not.
bool InNoProxy(const std::string &list, const std::string &host)
{
    const std::string name = Lowered(host);
    size_t at = 0;
    std::string item;
    while (NextItem(list, ", \t", &at, &item)) {
        if (item == "*")
            return true;
        const std::string domain = Lowered(item[0] == '.' ? item.substr(1) : item);
        if (domain.empty())
            continue;
        if (name == domain || (name.size() > domain.size() &&
                               name.compare(name.size() - domain.size(), npos, domain) == 0 &&
                               name[name.size() - domain.size() - 1] == '.'))
            return true;
    }
    return false;
}

// An address as the box shows it: never a password, and not too long.
std::string Shown(const std::string &address)
{
    std::string shown = address;
    const size_t scheme = shown.find("://");
    const size_t userStart = scheme == npos ? 0 : scheme + 3;
    const size_t at = shown.rfind('@');
    if (at != npos && at >= userStart)
        shown.replace(userStart, at - userStart, "***");
    if (shown.size() > kShownLength)
        shown = shown.substr(0, kShownLength) + "...";
    return shown;
}

// "http://host:port/", "host:port" or "host", the port 80 when none is
// given. "" or what is wrong with it, as the end of a sentence that begins
// with the setting. A user and password are taken off (*withUser tells).
std::string ReadAddress(const std::string &text, ProxyAddress *address, bool *withUser)
{
    std::string rest = text;
    const size_t scheme = rest.find("://");
    if (scheme != npos) {
        const std::string name = Lowered(rest.substr(0, scheme));
        if (name != "http")
            return "could not be used: this program speaks only to http:// proxies, not to " + name +
                   ":// ones";
        rest.erase(0, scheme + 3);
    }
    const size_t at = rest.rfind('@');
    *withUser = at != npos;
    if (at != npos)
        rest.erase(0, at + 1);
    rest = rest.substr(0, rest.find('/'));
    const size_t colon = rest.find(':');
    address->host = rest.substr(0, colon);
    if (address->host.empty())
        return "could not be read: it names no host";
    for (char c : address->host)
        if (!IsHostChar(c))
            return "could not be read: its host name holds characters that no host name has";
    address->port = 80;
    if (colon == npos)
        return "";
    unsigned port = 0;
    for (char c : rest.substr(colon + 1))
        port = IsDigit(c) && port <= 65535 ? port * 10 + (c - '0') : 65536;
    if (port == 0 || port > 65535)
        return "could not be read: its port is not a number from 1 to 65535";
    address->port = static_cast<uint16_t>(port);
    return "";
}

// The choice for an address read from a setting that the box names as
// shownSetting.
ProxyChoice ThroughAddress(const std::string &text, const std::string &shownSetting,
                           const char *source)
{
    ProxyChoice choice;
    choice.source = source;
    bool withUser = false;
    const std::string fault = ReadAddress(text, &choice.proxy, &withUser);
    if (!fault.empty()) {
        choice.proxy = ProxyAddress();
        choice.problem = "The proxy setting " + shownSetting + " " + fault + ".";
        return choice;
    }
    choice.direct = false;
    if (withUser)
        choice.problem = "The proxy setting " + shownSetting + " names a user and password, which "
                         "this program cannot give a proxy; it asked without them.";
    return choice;
}

// ProxyServer: one "host:port" for every scheme, or a list of
// "scheme=host:port" where a scheme left out goes direct. WININET takes a
// SOCKS entry for the schemes without one of their own; this program
// speaks no SOCKS, and says so.
ProxyChoice FromInternetOptions(const ProxySettings &settings, bool secure, const std::string &host,
                                uint16_t port)
{
    ProxyChoice choice;
    if (Overridden(settings.proxyOverride, secure, host, port))
        return choice;
    const std::string wanted = secure ? "https" : "http";
    std::string own, common, socks, item;
    size_t at = 0;
    while (NextItem(settings.proxyServer, "; \t", &at, &item)) {
        const size_t equals = item.find('=');
        const std::string scheme = equals == npos ? "" : Lowered(item.substr(0, equals));
        if (equals == npos && common.empty())
            common = item;
        else if (scheme == wanted && own.empty())
            own = item;
        else if (scheme == "socks" && socks.empty())
            socks = item;
    }
    const std::string &entry = own.empty() ? common : own;
    if (!entry.empty()) {
        const size_t equals = entry.find('=');
        const std::string address = equals == npos ? entry : entry.substr(equals + 1);
        const std::string scheme = equals == npos ? "" : entry.substr(0, equals + 1);
        return ThroughAddress(address, scheme + Shown(address) + " in " + kInternetOptions,
                              kInternetOptions);
    }
    if (!socks.empty()) {
        choice.source = kInternetOptions;
        choice.problem = "The proxy setting " + Shown(socks) + " in " + kInternetOptions +
                         " names a SOCKS proxy, and this program speaks only to HTTP proxies.";
    }
    return choice;
}

ProxyChoice FromEnvironment(const ProxySettings &settings, bool secure, const std::string &host)
{
    // AUTOEXEC.BAT's SET keeps the spaces before the end of its line.
    const bool ownHttps = secure && !Trimmed(settings.httpsProxy).empty();
    const std::string value = Trimmed(ownHttps ? settings.httpsProxy : settings.httpProxy);
    if (value.empty() || InNoProxy(settings.noProxy, host))
        return ProxyChoice();
    const char *name = ownHttps ? "https_proxy" : "http_proxy";
    return ThroughAddress(value, name + ("=" + Shown(value)), name);
}

}  // namespace

bool InternetOptionsNameProxy(const ProxySettings &settings)
{
    return settings.proxyEnable && settings.proxyServer.find_first_not_of(" \t;") != npos;
}

ProxyChoice ChooseProxy(const ProxySettings &settings, bool secure, const std::string &host,
                        uint16_t port)
{
    if (InternetOptionsNameProxy(settings))
        return FromInternetOptions(settings, secure, host, port);
    return FromEnvironment(settings, secure, host);
}
