// The HTTP the program speaks, as text. The Windows build links no C
// run-time library, so every character test and number below is a small
// loop of its own.
#include "net/http_reading.h"

#include "net/text.h"

namespace {

const size_t npos = std::string::npos;

bool IsSpaceOrTab(char c)
{
    return c == ' ' || c == '\t';
}

// Whether text begins with lowerWord, in any case.
bool StartsWithNoCase(const std::string &text, const char *lowerWord)
{
    size_t i = 0;
    for (; lowerWord[i]; ++i)
        if (i == text.size() || LowerCase(text[i]) != lowerWord[i])
            return false;
    return true;
}

// Whether text is lowerWord, in any case.
bool SameNoCase(const std::string &text, const char *lowerWord)
{
    size_t i = 0;
    for (; lowerWord[i]; ++i)
        if (i == text.size() || LowerCase(text[i]) != lowerWord[i])
            return false;
    return i == text.size();
}

bool HasSpaceOrControl(const std::string &text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F)
            return true;
    return false;
}

// The port as written in a URL, or 0 when it is not a number in 1..65535.
unsigned PortNumber(const std::string &digits)
{
    unsigned value = 0;
    for (char c : digits) {
        if (!IsDigit(c))
            return 0;
        value = value * 10 + (c - '0');
        if (value > 65535)
            return 0;
    }
    return value;
}

// A header's decimal number; false for anything else, overflow included.
bool ReadDecimal(const std::string &text, uint64_t *value)
{
    if (text.empty())
        return false;
    uint64_t number = 0;
    for (char c : text) {
        const unsigned digit = c - '0';
        if (!IsDigit(c) || number > UINT64_MAX / 10 || number * 10 > UINT64_MAX - digit)
            return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

// The pieces of one list-valued header, split at commas and trimmed.
bool NextListItem(const std::string &value, size_t *at, std::string *item)
{
    if (*at > value.size())
        return false;
    size_t comma = value.find(',', *at);
    if (comma == npos)
        comma = value.size();
    *item = Trimmed(value.substr(*at, comma - *at));
    *at = comma + 1;
    return true;
}

// How the body is delimited, gathered over the header lines.
struct Framing {
    bool lengthGiven = false, transferCoded = false;
};

// Content-Length may be repeated, or listed as "42, 42" by a proxy that
// merged the lines; only the same number each time can be trusted.
bool TakeLength(const std::string &value, Framing *framing, HttpHead *head)
{
    size_t at = 0;
    std::string item;
    while (NextListItem(value, &at, &item)) {
        uint64_t length;
        if (!ReadDecimal(item, &length) || (framing->lengthGiven && length != head->length))
            return false;
        framing->lengthGiven = true;
        head->length = length;
    }
    return true;
}

// Only the last coding frames the body; a body coded otherwise runs to the
// close of the connection.
void TakeTransferCoding(const std::string &value, Framing *framing, HttpHead *head)
{
    framing->transferCoded = true;
    size_t at = 0;
    std::string item, last;
    while (NextListItem(value, &at, &item))
        if (!item.empty())
            last = item;
    if (!last.empty())
        head->chunked = SameNoCase(last, "chunked");
}

bool IsTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || IsDigit(c))
        return true;
    for (const char *other = "!#$%&'*+-.^_`|~"; *other; ++other)
        if (c == *other)
            return true;
    return false;
}

// "Name: value"; the name must touch its colon, as a space before it is
// how header smuggling begins.
bool ReadHeaderLine(const std::string &line, Framing *framing, HttpHead *head)
{
    const size_t colon = line.find(':');
    if (colon == 0 || colon == npos)
        return false;
    for (size_t i = 0; i < colon; ++i)
        if (!IsTokenChar(line[i]))
            return false;
    const std::string name = line.substr(0, colon);
    const std::string value = Trimmed(line.substr(colon + 1));
    if (SameNoCase(name, "content-length"))
        return TakeLength(value, framing, head);
    if (SameNoCase(name, "transfer-encoding"))
        TakeTransferCoding(value, framing, head);
    else if (SameNoCase(name, "content-range"))
        head->contentRange = value;
    else if (SameNoCase(name, "etag"))
        head->etag = value;
    else if (SameNoCase(name, "last-modified"))
        head->lastModified = value;
    else if (SameNoCase(name, "location"))
        head->location = value;
    return true;
}

// "HTTP/1.1 200 OK", "HTTP/1.0 404", or a reason left empty after its space.
bool ReadStatusLine(const std::string &line, HttpHead *head)
{
    if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || !IsDigit(line[7]) ||
        line[8] != ' ' || (line.size() > 12 && line[12] != ' '))
        return false;
    head->status = 0;
    for (size_t i = 9; i < 12; ++i) {
        if (!IsDigit(line[i]))
            return false;
        head->status = head->status * 10 + (line[i] - '0');
    }
    if (head->status < 100)
        return false;
    head->statusText = line.size() > 12 ? line.substr(13) : "";
    return true;
}

// Whether the bytes so far can still begin a status line, so that an answer
// from something other than a web server fails at once, not after 16 KiB.
bool CouldBeStatusLine(const char *data, size_t size)
{
    const char prefix[] = "HTTP/1.";
    for (size_t i = 0; i < size && i < sizeof prefix - 1; ++i)
        if (data[i] != prefix[i])
            return false;
    return true;
}

// Finds the line that starts at *start within data[0, size), moves *start past
// its LF and gives it without its line end. A NUL or a CR inside a line is no
// part of any header.
HeadState NextLine(const char *data, size_t size, size_t *start, std::string *line)
{
    for (size_t i = *start; i < size; ++i) {
        if (data[i] == '\n') {
            const size_t end = i > *start && data[i - 1] == '\r' ? i - 1 : i;
            line->assign(data + *start, end - *start);
            *start = i + 1;
            return kHeadComplete;
        }
        if (data[i] == '\0' || (data[i] == '\r' && i + 1 < size && data[i + 1] != '\n'))
            return kHeadInvalid;
    }
    return kHeadIncomplete;
}

// One answer's head from *start; moves *start past its blank line.
HeadState ReadOneHead(const char *data, size_t size, size_t *start, HttpHead *head)
{
    if (!CouldBeStatusLine(data + *start, size - *start))
        return kHeadInvalid;
    std::string line;
    HeadState state = NextLine(data, size, start, &line);
    if (state != kHeadComplete)
        return state;
    if (!ReadStatusLine(line, head))
        return kHeadInvalid;
    Framing framing;
    while ((state = NextLine(data, size, start, &line)) == kHeadComplete && !line.empty())
        if (!ReadHeaderLine(line, &framing, head))
            return kHeadInvalid;
    // A transfer coding overrides any length: that length is not the body's.
    head->hasLength = framing.lengthGiven && !framing.transferCoded;
    if (!head->hasLength)
        head->length = 0;
    return state;
}

}  // namespace

bool SplitUrl(const std::string &url, HttpUrl *parts)
{
    size_t at;
    if (StartsWithNoCase(url, "http://"))
        at = 7;
    else if (StartsWithNoCase(url, "https://"))
        at = 8;
    else
        return false;
    if (HasSpaceOrControl(url))
        return false;
    size_t end = url.find_first_of("/?#", at);
    if (end == npos)
        end = url.size();
    // No user-info: it has no place in a request, and "http://good@evil/"
    // is how a link hides where it leads. No IPv6 either: Winsock 1.1 has none.
    const std::string authority = url.substr(at, end - at);
    const size_t colon = authority.find(':');
    if (authority.find('@') != npos || colon == 0 || authority.empty())
        return false;
    HttpUrl result;
    result.secure = at == 8;
    result.host = authority.substr(0, colon);
    result.port = result.secure ? 443 : 80;
    if (colon != npos) {
        const unsigned port = PortNumber(authority.substr(colon + 1));
        if (port == 0)
            return false;
        result.port = static_cast<uint16_t>(port);
    }
    result.path = url.substr(end, url.find('#', end) - end);
    if (result.path.empty() || result.path[0] != '/')
        result.path.insert(0, "/");
    *parts = result;
    return true;
}

bool IsHttpsUrl(const std::string &url)
{
    HttpUrl parts;
    return SplitUrl(url, &parts) && parts.secure;
}

std::string GetRequest(const HttpUrl &url, const std::string &extraHeaders)
{
    std::string request = "GET " + url.path + " HTTP/1.1\r\nHost: " + url.host;
    if (url.port != (url.secure ? 443 : 80))
        request += ":" + DecimalText(url.port);
    return request + "\r\nUser-Agent: Pelmora Downloader\r\nConnection: close\r\n" +
           extraHeaders + "\r\n";
}

std::string ProxyGetRequest(const HttpUrl &url, const std::string &extraHeaders)
{
    HttpUrl absolute = url;
    absolute.path = (url.secure ? "https://" : "http://") + url.host;
    if (url.port != (url.secure ? 443 : 80))
        absolute.path += ":" + DecimalText(url.port);
    absolute.path += url.path;
    return GetRequest(absolute, extraHeaders);
}

std::string ConnectRequest(const std::string &host, uint16_t port)
{
    const std::string target = host + ":" + DecimalText(port);
    return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target +
           "\r\nUser-Agent: Pelmora Downloader\r\n\r\n";
}

HeadState ReadHead(const char *data, size_t size, HttpHead *head, size_t *used)
{
    // Only the first kMaxHeadSize bytes are looked at, so a head is
    // judged the same however much of what follows has arrived.
    const size_t within = size < kMaxHeadSize ? size : kMaxHeadSize;
    size_t start = 0;
    for (;;) {
        HttpHead answer;
        const HeadState state = ReadOneHead(data, within, &start, &answer);
        if (state == kHeadIncomplete)
            return size > kMaxHeadSize ? kHeadInvalid : kHeadIncomplete;
        if (state == kHeadInvalid)
            return kHeadInvalid;
        if (answer.status >= 200) {
            *head = answer;
            *used = start;
            return kHeadComplete;
        }
    }
}

namespace {

// Where a chunked body's reading stands; kSizeStart must be 0, the
// state of a fresh decoder.
enum ChunkStep {
    kSizeStart, kSizeDigits, kSizeEnd, kExtension, kSizeLineFeed, kData, kDataEnd,
    kDataLineFeed, kTrailerStart, kTrailerLine, kTrailerLineFeed, kBodyEnd, kBroken
};

int HexValue(char c)
{
    if (IsDigit(c))
        return c - '0';
    c = LowerCase(c);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

int AfterSizeLine(const ChunkDecoder &decoder)
{
    return decoder.left ? kData : kTrailerStart;
}

// The state after one byte of the framing around the chunks' data.
int FramingStep(ChunkDecoder *decoder, char c)
{
    const int hex = HexValue(c);
    switch (decoder->state) {
    case kSizeStart:
        decoder->left = hex;
        return hex < 0 ? kBroken : kSizeDigits;
    case kSizeDigits:
        if (hex >= 0) {
            // A size of 2^60 or more is no file this program fetches.
            if (decoder->left >> 56)
                return kBroken;
            decoder->left = decoder->left << 4 | hex;
            return kSizeDigits;
        }
        [[fallthrough]];  // to whatever ends the size
    case kSizeEnd:
        if (IsSpaceOrTab(c))
            return kSizeEnd;
        if (c == ';')
            return kExtension;
        return c == '\r' ? kSizeLineFeed : c == '\n' ? AfterSizeLine(*decoder) : kBroken;
    case kExtension:
        return c == '\r' ? kSizeLineFeed : c == '\n' ? AfterSizeLine(*decoder) : kExtension;
    case kSizeLineFeed:
        return c == '\n' ? AfterSizeLine(*decoder) : kBroken;
    case kDataEnd:
        return c == '\r' ? kDataLineFeed : c == '\n' ? kSizeStart : kBroken;
    case kDataLineFeed:
        return c == '\n' ? kSizeStart : kBroken;
    case kTrailerStart:
        return c == '\r' ? kTrailerLineFeed : c == '\n' ? kBodyEnd : kTrailerLine;
    case kTrailerLine:
        return c == '\n' ? kTrailerStart : kTrailerLine;
    case kTrailerLineFeed:
        return c == '\n' ? kBodyEnd : kBroken;
    }
    return kBroken;
}

}  // namespace

ChunkState DecodeChunks(ChunkDecoder *decoder, char *data, size_t size, size_t *bodySize)
{
    size_t in = 0, out = 0;
    while (in < size && decoder->state != kBodyEnd && decoder->state != kBroken) {
        if (decoder->state != kData) {
            decoder->state = FramingStep(decoder, data[in++]);
            continue;
        }
        const size_t count = size - in < decoder->left ? size - in : decoder->left;
        // Framing always precedes data, so out < in: a forward copy only
        // overwrites bytes already read.
        for (size_t i = 0; i < count; ++i)
            data[out + i] = data[in + i];
        in += count;
        out += count;
        decoder->left -= count;
        if (decoder->left == 0)
            decoder->state = kDataEnd;
    }
    *bodySize = out;
    if (decoder->state == kBodyEnd)
        return kChunkEnd;
    return decoder->state == kBroken ? kChunkInvalid : kChunkMore;
}

bool IsRedirect(unsigned status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

namespace {

// A URL or a reference to one in the parts RFC 3986 resolves with; the
// fragment is dropped, as no request carries it.
struct Reference {
    bool hasScheme = false, hasAuthority = false, hasQuery = false;
    std::string scheme, authority, path, query;
};

Reference SplitReference(const std::string &text)
{
    Reference ref;
    const std::string whole = text.substr(0, text.find('#'));
    size_t at = 0;
    const size_t colon = whole.find_first_of(":/?");
    if (colon != npos && colon > 0 && whole[colon] == ':') {
        ref.hasScheme = true;
        ref.scheme = whole.substr(0, colon);
        at = colon + 1;
    }
    if (whole.compare(at, 2, "//") == 0) {
        const size_t end = whole.find_first_of("/?", at + 2);
        ref.hasAuthority = true;
        ref.authority = whole.substr(at + 2, end == npos ? npos : end - at - 2);
        at = end == npos ? whole.size() : end;
    }
    const size_t question = whole.find('?', at);
    ref.path = whole.substr(at, question == npos ? npos : question - at);
    if (question != npos) {
        ref.hasQuery = true;
        ref.query = whole.substr(question + 1);
    }
    return ref;
}

// Drops the last segment of output and its '/' (RFC 3986 5.2.4, step 2C).
void DropLastSegment(std::string *output)
{
    const size_t slash = output->rfind('/');
    output->erase(slash == npos ? 0 : slash);
}

// RFC 3986 5.2.4: "." and ".." resolved, so "../../x" cannot climb above
// the root.
std::string WithoutDotSegments(std::string input)
{
    std::string output;
    while (!input.empty()) {
        if (input.compare(0, 3, "../") == 0)
            input.erase(0, 3);
        else if (input.compare(0, 2, "./") == 0)
            input.erase(0, 2);
        else if (input.compare(0, 3, "/./") == 0)
            input.erase(0, 2);
        else if (input == "/.")
            input = "/";
        else if (input.compare(0, 4, "/../") == 0) {
            input.erase(0, 3);
            DropLastSegment(&output);
        } else if (input == "/..") {
            input = "/";
            DropLastSegment(&output);
        } else if (input == "." || input == "..")
            input.clear();
        else {
            const size_t next = input.find('/', 1);
            output += input.substr(0, next);
            input.erase(0, next);
        }
    }
    return output;
}

// RFC 3986 5.2.3: a relative path replaces the last segment of the base's.
std::string MergedPath(const Reference &base, const std::string &path)
{
    if (base.hasAuthority && base.path.empty())
        return "/" + path;
    const size_t slash = base.path.rfind('/');
    return slash == npos ? path : base.path.substr(0, slash + 1) + path;
}

// RFC 3986 5.2.2, strictly: "http:g" is an absolute URL without a host.
Reference Resolved(const Reference &base, const Reference &ref)
{
    Reference target = ref;
    target.path = WithoutDotSegments(ref.path);
    if (ref.hasScheme)
        return target;
    target.hasScheme = true;
    target.scheme = base.scheme;
    if (ref.hasAuthority)
        return target;
    target.hasAuthority = true;
    target.authority = base.authority;
    if (ref.path.empty()) {
        target.path = base.path;
        if (!ref.hasQuery) {
            target.hasQuery = base.hasQuery;
            target.query = base.query;
        }
    } else if (ref.path[0] != '/') {
        target.path = WithoutDotSegments(MergedPath(base, ref.path));
    }
    return target;
}

std::string Joined(const Reference &ref)
{
    std::string text = ref.scheme + ":";
    if (ref.hasAuthority)
        text += "//" + ref.authority;
    text += ref.path;
    if (ref.hasQuery)
        text += "?" + ref.query;
    return text;
}

}  // namespace

std::string RedirectTarget(const std::string &base, const std::string &location)
{
    HttpUrl parts;
    if (location.empty() || !SplitUrl(base, &parts))
        return "";
    const std::string target = Joined(Resolved(SplitReference(base), SplitReference(location)));
    return SplitUrl(target, &parts) ? target : "";
}
