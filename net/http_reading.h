// What the program's own HTTP/1.1 client asks and how it reads the answers,
// from text alone: no sockets, no windows.h, so it is tested natively.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

// An http:// or https:// address taken apart.
struct HttpUrl {
    bool secure = false;  // https
    std::string host;     // as written, without the port
    uint16_t port = 80;   // 80 or 443 unless the URL gives one
    std::string path;     // from the first '/' on, query included, fragment dropped; "/" at least
};
// False for anything but a well-formed http:// or https:// URL (scheme
// case-insensitive): empty host, user-info ('@' in the authority), a port
// outside 1..65535 or not all digits, spaces or control characters.
bool SplitUrl(const std::string &url, HttpUrl *parts);
// A well-formed https:// URL.
bool IsHttpsUrl(const std::string &url);

// "GET <path> HTTP/1.1", Host (with the port only when not the scheme's),
// User-Agent, "Connection: close", then extraHeaders (whole lines ending in
// CR LF, or "") and the blank line.
std::string GetRequest(const HttpUrl &url, const std::string &extraHeaders);
// The same GET sent to a proxy: the whole URL in the request line,
// "GET http://host[:port]/path HTTP/1.1", the port only when not the
// scheme's; the Host line as GetRequest gives it.
std::string ProxyGetRequest(const HttpUrl &url, const std::string &extraHeaders);
// Asks a proxy for a tunnel to host:port, for https: "CONNECT host:port
// HTTP/1.1", a Host line with the same host:port, User-Agent, blank line.
// ReadHead reads the answer. Any 2xx opens the tunnel and has no body,
// whatever its headers say: the bytes after *used are the server's own and
// belong to the TLS layer. Any other status is the proxy's own answer (407
// wants a login, 403 refuses, 5xx could not reach the server) with a body
// framed as usual, often running to the close; no tunnel is open, so that
// connection is closed once the answer is read.
std::string ConnectRequest(const std::string &host, uint16_t port);

struct HttpHead {
    unsigned status = 0;
    std::string statusText;  // the reason phrase, may be empty
    bool hasLength = false;  // a valid Content-Length and no Transfer-Encoding
    uint64_t length = 0;
    bool chunked = false;  // Transfer-Encoding whose last coding is chunked
    std::string contentRange, etag, lastModified, location;  // trimmed; "" if absent
};

const size_t kMaxHeadSize = 16384;
enum HeadState { kHeadIncomplete, kHeadComplete, kHeadInvalid };
// Reads an answer's status line and headers from the start of data[0, size).
// kHeadIncomplete: more bytes are needed (the head so far is within kMaxHeadSize);
// kHeadComplete: *head is filled and *used counts the bytes through the blank
// line (the body follows); kHeadInvalid: not an "HTTP/1.x NNN" status line, a
// malformed header line, a malformed Content-Length or several that differ,
// or a head over kMaxHeadSize. Interim 1xx answers before the real one are
// skipped (counted in *used). Lines may end in CR LF or a bare LF.
HeadState ReadHead(const char *data, size_t size, HttpHead *head, size_t *used);

// The state of a chunked body between calls.
struct ChunkDecoder {
    int state = 0;
    uint64_t left = 0;  // of the chunk's data, while in it; the size so far, while reading it
};
enum ChunkState { kChunkMore, kChunkEnd, kChunkInvalid };
// Decodes the next raw bytes data[0, size) of a chunked body in place: the
// body's bytes are moved to the front of data and *bodySize says how many.
// kChunkEnd once the last (0-size) chunk and its trailer section have been
// read (bytes after it are ignored); kChunkMore while more is needed (a
// connection that closes now has cut the body); kChunkInvalid for anything
// that is not chunked framing. The body is the same however the input is split.
ChunkState DecodeChunks(ChunkDecoder *decoder, char *data, size_t size, size_t *bodySize);

// 301, 302, 303, 307 and 308.
bool IsRedirect(unsigned status);
// Where a redirect points: Location resolved against the URL that was asked
// as RFC 3986 section 5 says, fragment dropped. "" when the location is
// empty, not http/https, or does not make a URL that SplitUrl takes.
std::string RedirectTarget(const std::string &base, const std::string &location);
