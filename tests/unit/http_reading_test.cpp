#include <gtest/gtest.h>

#include "net/http_reading.h"

using namespace std::string_literals;

namespace {

std::string Decoded(const std::string &raw, size_t step, ChunkState *state)
{
    ChunkDecoder decoder;
    std::string body, piece;
    *state = kChunkMore;
    for (size_t at = 0; at < raw.size() && *state == kChunkMore; at += step) {
        piece = raw.substr(at, step);
        size_t size = 0;
        *state = DecodeChunks(&decoder, &piece[0], piece.size(), &size);
        body.append(piece, 0, size);
    }
    return body;
}

// What the transport takes from a head, on one line.
std::string Summary(const HttpHead &h)
{
    return std::to_string(h.status) + " " + h.statusText + "; " + (h.chunked ? "chunked " : "") +
           (h.hasLength ? std::to_string(h.length) : "-") + "; " + h.contentRange + "; " + h.etag + "; " +
           h.location;
}

}  // namespace

// The first four as nginx 1.22, lighttpd 1.4.69 and python3 -m http.server sent them on loopback.
TEST(HttpReadingTest, HeadsAreReadOnlyWhenWhole)
{
    const struct {
        const char *head, *summary;
    } cases[] = {
        {"HTTP/1.1 206 Partial Content\r\nContent-Type: application/octet-stream\r\nETag: \"2784670952\"\r\n"
         "Last-Modified: Mon, 07 Dec 2026 18:40:49 GMT\r\nContent-Length: 24\r\nAccept-Ranges: bytes\r\n"
         "Content-Range: bytes 1000-1023/1024\r\nConnection: close\r\nDate: Mon, 07 Dec 2026 18:42:14 GMT\r\n"
         "Server: lighttpd/1.4.69\r\n\r\n",
         "206 Partial Content; 24; bytes 1000-1023/1024; \"2784670952\"; "},
        {"HTTP/1.1 301 Moved Permanently\r\nServer: nginx/1.22.1\r\nDate: Mon, 07 Dec 2026 18:41:13 GMT\r\n"
         "Content-Type: text/html\r\nContent-Length: 169\r\nLocation: http://127.0.0.1:18481/dir/\r\n"
         "Connection: close\r\n\r\n", "301 Moved Permanently; 169; ; ; http://127.0.0.1:18481/dir/"},
        {"HTTP/1.1 200 OK\r\nServer: nginx/1.22.1\r\nDate: Mon, 07 Dec 2026 18:41:23 GMT\r\nContent-Type: "
         "text/plain\r\nLast-Modified: Mon, 07 Dec 2026 18:40:49 GMT\r\nTransfer-Encoding: chunked\r\n"
         "Connection: close\r\nETag: W/\"6b16fdb1-c80\"\r\nContent-Encoding: gzip\r\n\r\n",
         "200 OK; chunked -; ; W/\"6b16fdb1-c80\"; "},
        {"HTTP/1.0 404 File not found\r\nServer: SimpleHTTP/0.6 Python/3.11.7\r\nDate: Mon, 07 Dec 2026 "
         "18:41:37 GMT\r\nConnection: close\r\nContent-Type: text/html;charset=utf-8\r\nContent-Length: "
         "335\r\n\r\n", "404 File not found; 335; ; ; "},
        {"HTTP/1.1 301 Moved\nLocation: \t/dir/ \nContent-Length: 0\r\n\n", "301 Moved; 0; ; ; /dir/"},
        {"HTTP/1.1 200\r\ncontent-LENGTH:5\t\r\nContent-Length: 5, 5\r\n\r\n", "200 ; 5; ; ; "},
        // Names that only begin like known ones; codings that end other than chunked run to the close.
        {"HTTP/1.1 200 \nTransfer-Encodings: chunked\nETags: x\nContent-Length: 5\n\n", "200 ; 5; ; ; "},
        {"HTTP/1.1 200 \nContent-Length: 5\nTransfer-Encoding: gzip, Chunked ,\n\n", "200 ; chunked -; ; ; "},
        {"HTTP/1.1 200 \nTransfer-Encoding: chunked, gzip\nContent-Length: 5\n\n", "200 ; -; ; ; "},
        {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 102 Working\nX: 1\n\nHTTP/1.1 404 \r\n\r\n", "404 ; -; ; ; "},
    };
    HttpHead read;
    size_t used = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head);
        const std::string head = c.head, data = head + "\r\n<html>\n";
        for (size_t size = 0; size < head.size(); ++size)
            ASSERT_EQ(ReadHead(data.data(), size, &read, &used), kHeadIncomplete) << size;
        ASSERT_EQ(ReadHead(data.data(), data.size(), &read, &used), kHeadComplete);
        EXPECT_EQ(used, head.size());
        EXPECT_EQ(Summary(read), c.summary);
        const bool modified = head.find("Last-Modified") != std::string::npos;
        EXPECT_EQ(read.lastModified, modified ? "Mon, 07 Dec 2026 18:40:49 GMT" : "");
    }
}

TEST(HttpReadingTest, MalformedOrOversizeHeadsAreRefused)
{
    HttpHead read;
    size_t used = 0;
    const std::string kOk = "HTTP/1.1 200 OK\r\n";
    for (const std::string &bad : {
             kOk + "Content-Length: 5\r\nContent-Length: 6\r\n\r\n", kOk + "Content-Length: 5, 6\r\n\r\n",
             kOk + "Content-Length: 5,\r\n\r\n", kOk + "Content-Length: -1\r\n\r\n",
             kOk + "Content-Length: 0x10\r\n\r\n", kOk + "Content-Length:\r\n\r\n",
             kOk + "Content-Length: 18446744073709551616\r\n\r\n", kOk + "No colon\r\n\r\n",
             kOk + "Name : value\r\n\r\n", kOk + "A: b\r\n folded\r\n\r\n", kOk + ": no name\r\n\r\n",
             kOk + "A: b\rc\r\n\r\n", kOk + "A: b\0c\r\n\r\n"s,
             "HTTP/1.1 100 Continue\r\n\r\n" + kOk + "Content-Length: 5, 6\r\n\r\n",
             "HTTP/1.0 100 Continue\r\n\r\nSSH-2.0"s, "SSH-2.0-OpenSSH"s,  // known before a line ends
             "http/1.1 200 OK\r\n\r\n"s, "HTTP/2 200 OK\r\n\r\n"s, "HTTP/1.1 20 OK\r\n\r\n"s,
             "HTTP/1.1 2000 OK\r\n\r\n"s, "HTTP/1.1 099 Low\r\n\r\n"s, "HTTP/1.1  200 OK\r\n\r\n"s,
             "\r\n" + kOk + "\r\n"})
        EXPECT_EQ(ReadHead(bad.data(), bad.size(), &read, &used), kHeadInvalid) << bad;
    // A head may fill kMaxHeadSize but not pass it, whatever follows.
    std::string head = kOk + "X: " + std::string(kMaxHeadSize - 24, 'x') + "\r\n\r\nbody";
    EXPECT_EQ(ReadHead(head.data(), kMaxHeadSize - 1, &read, &used), kHeadIncomplete);
    EXPECT_EQ(ReadHead(head.data(), head.size(), &read, &used), kHeadComplete);
    EXPECT_EQ(used, kMaxHeadSize);
    head.insert(kOk.size(), "Y: 1\r\n");
    EXPECT_EQ(ReadHead(head.data(), kMaxHeadSize, &read, &used), kHeadIncomplete);
    EXPECT_EQ(ReadHead(head.data(), head.size(), &read, &used), kHeadInvalid);
}

TEST(HttpReadingTest, ChunksGiveOneBodyHoweverTheyArrive)
{
    // nginx's gzip'd answer on loopback.
    const std::string kGzipped =
        "3f\r\n\037\213\010\000\000\000\000\000\004\003+H\315\311\315/JT(\030\245G\303a4\035\214\346\203"
        "\321r`\264\034\030-\007F\313\201\321r`\264\034\030-\007F\313\001\032\227\003\000\007\322\026\204"
        "\200\014\000\000\r\n0\r\n\r\n"s;
    const struct {
        std::string raw, body;
        ChunkState state;
    } cases[] = {
        {kGzipped, kGzipped.substr(4, 0x3f), kChunkEnd},
        {"5;name=value\r\nhello\r\n6 ; a=\"b\"\r\n world\r\n0\r\n\r\nafter", "hello world", kChunkEnd},
        {"A\r\n0123456789\r\n00000\r\nExpires: never\r\nX: y\r\n\r\n", "0123456789", kChunkEnd},
        {"5\nhello\n0\n\n", "hello", kChunkEnd}, {"5\r\nhel", "hel", kChunkMore},  // a cut, never the end
        {"5\r\nhello\r\n", "hello", kChunkMore}, {"5\r\nhello\r\n0\r\nX: y\r\n", "hello", kChunkMore},
        {"fffffffffffffff\r\nab", "ab", kChunkMore}, {"1000000000000000\r\n", "", kChunkInvalid},
        {"5\r\nhelloX\r\n", "hello", kChunkInvalid}, {"5\r\nhello\r0\r\n\r\n", "hello", kChunkInvalid},
        {"5\rhello", "", kChunkInvalid}, {"5;x\rhello", "", kChunkInvalid}, {"\r\n", "", kChunkInvalid},
        {"-5\r\n", "", kChunkInvalid}, {"5 x\r\n", "", kChunkInvalid}, {"0\r\n\rX", "", kChunkInvalid},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.raw);
        for (size_t step : {c.raw.size(), size_t(1), size_t(2), size_t(7)}) {
            ChunkState state;
            EXPECT_EQ(Decoded(c.raw, step, &state), c.body) << step;
            EXPECT_EQ(state, c.state) << step;
        }
    }
}

TEST(HttpReadingTest, RedirectsResolveAsRfc3986Says)
{
    const struct {
        const char *location, *target;
    } cases[] = {
        {"g", "http://a/b/c/g"}, {"/g", "http://a/g"}, {"//g", "http://g"}, {"?y", "http://a/b/c/d;p?y"},
        {"g?y", "http://a/b/c/g?y"}, {"#s", "http://a/b/c/d;p?q"}, {".", "http://a/b/c/"},
        {"..", "http://a/b/"}, {"../g", "http://a/b/g"}, {"../..", "http://a/"}, {"../../../g", "http://a/g"},
        {"/./g", "http://a/g"}, {"/../g", "http://a/g"}, {"..g", "http://a/b/c/..g"},
        {"./../g", "http://a/b/g"}, {"./g/.", "http://a/b/c/g/"}, {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"}, {"g#s/../x", "http://a/b/c/g"},
        {"HTTPS://h:8443/x/../y#f", "HTTPS://h:8443/y"},
        {"http://127.0.0.1:18481/dir/", "http://127.0.0.1:18481/dir/"}, {"", ""}, {"g:h", ""}, {"http:g", ""},
        {"ftp://a/f", ""}, {"http://", ""}, {"http://u@evil/", ""}, {"//a:0/", ""}, {"a b", ""},
        {"mailto:x@y", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RedirectTarget("http://a/b/c/d;p?q", c.location), c.target) << c.location;
    EXPECT_EQ(RedirectTarget("https://h/a/b", "//m/p"), "https://m/p");
    EXPECT_EQ(RedirectTarget("http://h?q", "g"), "http://h/g");
    EXPECT_EQ(RedirectTarget("ftp://h/a", "/p"), "");
    std::string redirects;
    for (unsigned status = 200; status < 410; ++status)
        redirects += IsRedirect(status) ? std::to_string(status) + " " : "";
    EXPECT_EQ(redirects, "301 302 303 307 308 ");
}

TEST(HttpReadingTest, UrlsAreTakenApartAndAskedFor)
{
    const struct {
        const char *url, *parts;
    } cases[] = {
        {"http://mirror.example/7z/a.zip", "http mirror.example 80 /7z/a.zip"},
        {"HTTPS://Host.example", "https Host.example 443 /"}, {"http://h:8080?q=1#f", "http h 8080 /?q=1"},
        {"https://h:00443/a?b#c?d", "https h 443 /a?b"}, {"http://h:65535/", "http h 65535 /"},
        {"http://h:65536/", ""}, {"http://h:0/", ""}, {"http://h:/", ""}, {"http://h:8x/", ""},
        {"http://h:-1/", ""}, {"http:///p", ""}, {"http://:80/", ""}, {"http://u:p@h/", ""},
        {"http://h/a b", ""}, {"http://h/\t", ""}, {"ftp://h/", ""}, {"http:/h/", ""}, {"h/p", ""}, {"", ""},
    };
    HttpUrl p;
    for (const auto &c : cases)
        EXPECT_EQ(SplitUrl(c.url, &p) ? (p.secure ? "https " : "http ") + p.host + " " +
                                            std::to_string(p.port) + " " + p.path : "", c.parts) << c.url;
    ASSERT_TRUE(SplitUrl("http://h:8080/a?b", &p));
    EXPECT_EQ(GetRequest(p, "Range: bytes=5-\r\n"), "GET /a?b HTTP/1.1\r\nHost: h:8080\r\nUser-Agent: "
              "Pelmora Downloader\r\nConnection: close\r\nRange: bytes=5-\r\n\r\n");
    ASSERT_TRUE(SplitUrl("https://h:443", &p));
    EXPECT_EQ(GetRequest(p, ""), "GET / HTTP/1.1\r\nHost: h\r\nUser-Agent: Pelmora Downloader\r\n"
              "Connection: close\r\n\r\n");
}
