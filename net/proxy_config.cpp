// The proxy settings where Windows keeps them: Internet Options in the
// current user's registry, through ADVAPI32 (every Windows 95 and NT 4.0
// has its registry functions, so they are imported, not looked up), and the
// environment, which on the 95 family AUTOEXEC.BAT sets.
#include "net/proxy_config.h"

#include <windows.h>

namespace {

const char kInternetSettings[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

// A REG_SZ value; "" when it is absent or of another type. The stored size
// may or may not count the closing NUL.
std::string RegistryText(HKEY key, const char *name)
{
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, NULL, &type, NULL, &size) != ERROR_SUCCESS || type != REG_SZ ||
        size == 0)
        return "";
    std::string text(size, '\0');
    if (RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(&text[0]), &size) !=
            ERROR_SUCCESS || type != REG_SZ)
        return "";
    text.resize(size);
    const size_t nul = text.find('\0');
    return nul == std::string::npos ? text : text.substr(0, nul);
}

// ProxyEnable is a REG_DWORD, but some systems keep it as 4 bytes of
// REG_BINARY, which read the same.
bool RegistryFlag(HKEY key, const char *name)
{
    DWORD type = 0, value = 0, size = sizeof value;
    return RegQueryValueExA(key, name, NULL, &type, reinterpret_cast<BYTE *>(&value), &size) ==
               ERROR_SUCCESS &&
           (type == REG_DWORD || type == REG_BINARY) && value != 0;
}

// One variable; "" when unset.
std::string EnvironmentText(const char *name)
{
    char small[256];
    const DWORD needed = GetEnvironmentVariableA(name, small, sizeof small);
    if (needed < sizeof small)
        return std::string(small, needed);
    std::string text(needed, '\0');  // needed counts the NUL, which the string's end has room for
    const DWORD got = GetEnvironmentVariableA(name, &text[0], needed);
    text.resize(got < needed ? got : 0);
    return text;
}

// NT finds a variable's name in any case, but the 95 family's SET stores
// names in capitals, so both are asked for.
std::string EitherCase(const char *lower, const char *upper)
{
    const std::string text = EnvironmentText(lower);
    return text.empty() ? EnvironmentText(upper) : text;
}

}  // namespace

ProxySettings ReadProxySettings()
{
    ProxySettings settings;
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kInternetSettings, 0, KEY_QUERY_VALUE, &key) ==
        ERROR_SUCCESS) {
        settings.proxyEnable = RegistryFlag(key, "ProxyEnable");
        settings.proxyServer = RegistryText(key, "ProxyServer");
        settings.proxyOverride = RegistryText(key, "ProxyOverride");
        RegCloseKey(key);
    }
    settings.httpProxy = EitherCase("http_proxy", "HTTP_PROXY");
    settings.httpsProxy = EitherCase("https_proxy", "HTTPS_PROXY");
    settings.noProxy = EitherCase("no_proxy", "NO_PROXY");
    return settings;
}
