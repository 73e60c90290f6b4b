// The transport of a Windows without Internet Explorer: plain HTTP/1.1 over
// Winsock 1.1, which every Windows 95 and NT 4.0 with TCP/IP has. Every wait
// is a select() of a tenth of a second, so a cancel is seen at once and the
// time limits are kept by the program's own clock. Only the name lookup
// blocks; the waiting thread gives up on that by its own clock. https is
// TLS of the program's own over the same connection. The proxy is the one
// of Internet Options, else of http_proxy, as WININET and wget would take:
// plain http asks it with the whole URL, https through a CONNECT tunnel.
#include <memory>

#include "net/http_reading.h"
#include "net/proxy_config.h"
#include "net/system_dlls.h"
#include "net/text.h"
#include "net/tls_stream.h"
#include "net/transport.h"

namespace {

const DWORD kSliceMs = 100;
const size_t kBufferSize = 64 * 1024;
const size_t kRecordsSize = 64 * 1024;  // of TLS records read ahead
// A connection closed before an answer, or in the middle of a body.
const DWORD kCutError = WSAECONNRESET;

class WinsockTransport : public Transport {
public:
    WinsockTransport(const WsockFunctions *api, volatile LONG *cancelled)
        : api_(api), cancelled_(cancelled), proxySettings_(ReadProxySettings()),
          socket_(INVALID_SOCKET),
          buffer_(new char[kBufferSize]), start_(0), end_(0), timeoutMs_(0), left_(0),
          counted_(false), chunked_(false), ended_(false), raw_(true), recordsStart_(0),
          recordsEnd_(0)
    {
    }
    ~WinsockTransport() override { Close(); }
    DWORD Open(const std::string &url, const std::string &headers, DWORD timeoutMs,
               HttpAnswer *answer) override;
    DWORD Read(char *buffer, DWORD size, DWORD *got) override;
    void Close() override;
    void Abandon() override {}  // every wait but the lookup ends by itself
    DWORD TimeoutError() const override { return WSAETIMEDOUT; }
    ConnectionTrouble Trouble() const override { return trouble_; }
    ConnectionTrouble Route(const std::string &url) const override;

private:
    DWORD Connect(const std::string &host, uint16_t port);
    DWORD OpenTunnel(const HttpUrl &url);
    DWORD Reach(const HttpUrl &url, const ProxyChoice &via);
    DWORD Refused(ConnectionTrouble::Kind kind, const HttpAnswer &answer);
    DWORD Wait(bool writing);
    DWORD SocketSend(const char *data, size_t size);
    DWORD SocketReceive(char *into, size_t room, size_t *received);
    DWORD ReceiveRecords(unsigned char *into, size_t room, size_t *received);
    static DWORD ReadConnection(void *self, unsigned char *data, size_t size, size_t *got);
    static DWORD WriteConnection(void *self, const unsigned char *data, size_t size);
    DWORD SendAll(const std::string &text);
    DWORD ReceiveInto(char *into, size_t room, size_t *received);
    DWORD Receive();
    DWORD ReadHeadInto(HttpAnswer *answer);

    const WsockFunctions *api_;
    volatile LONG *cancelled_;
    const ProxySettings proxySettings_;  // as they were when the download began
    SOCKET socket_;
    std::unique_ptr<char[]> buffer_;
    size_t start_, end_;  // what was received and not yet handed on
    DWORD timeoutMs_;
    uint64_t left_;   // of a body with a length
    bool counted_;    // the body has a length
    bool chunked_, ended_;
    bool raw_;  // the received bytes are still in chunked framing
    ChunkDecoder chunks_;
    std::unique_ptr<TlsStream> tls_;  // for an https address
    std::unique_ptr<unsigned char[]> records_;  // what the connection brought for TLS
    size_t recordsStart_, recordsEnd_;
    ConnectionTrouble trouble_;
};

bool IsIn(SOCKET s, const fd_set &set)
{
    for (u_int i = 0; i < set.fd_count; ++i)
        if (set.fd_array[i] == s)
            return true;
    return false;
}

// Waits until the socket can be read (or written), in slices so that a
// cancel is seen; 0, or why not.
DWORD WinsockTransport::Wait(bool writing)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (*cancelled_)
            return WSAEINTR;
        fd_set ready, failed;
        ready.fd_count = failed.fd_count = 1;
        ready.fd_array[0] = failed.fd_array[0] = socket_;
        timeval slice = {0, static_cast<long>(kSliceMs * 1000)};
        const int n = api_->select(0, writing ? NULL : &ready, writing ? &ready : NULL, &failed,
                                   &slice);
        if (n == SOCKET_ERROR)
            return api_->WSAGetLastError();
        if (n > 0 && IsIn(socket_, failed)) {  // a connect that did not work out
            int error = 0, size = sizeof error;
            api_->getsockopt(socket_, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size);
            return error ? error : WSAECONNREFUSED;
        }
        if (n > 0 && IsIn(socket_, ready))
            return 0;
        if (GetTickCount() - start >= timeoutMs_)
            return WSAETIMEDOUT;
    }
}

DWORD WinsockTransport::Connect(const std::string &hostName, uint16_t port)
{
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = api_->htons(port);
    address.sin_addr.s_addr = api_->inet_addr(hostName.c_str());
    if (address.sin_addr.s_addr == INADDR_NONE) {
        const hostent *host = api_->gethostbyname(hostName.c_str());
        if (!host || host->h_addrtype != AF_INET || !host->h_addr_list[0])
            return host ? WSANO_DATA : api_->WSAGetLastError();
        CopyMemory(&address.sin_addr, host->h_addr_list[0], sizeof address.sin_addr);
    }
    socket_ = api_->socket(AF_INET, SOCK_STREAM, 0);
    if (socket_ == INVALID_SOCKET)
        return api_->WSAGetLastError();
    u_long nonBlocking = 1;
    api_->ioctlsocket(socket_, FIONBIO, &nonBlocking);
    if (api_->connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
        return 0;
    const DWORD error = api_->WSAGetLastError();
    return error == WSAEWOULDBLOCK ? Wait(true) : error;
}

DWORD WinsockTransport::SocketSend(const char *data, size_t size)
{
    for (size_t sent = 0; sent < size;) {
        const int n = api_->send(socket_, data + sent, size - sent, 0);
        if (n > 0) {
            sent += n;
            continue;
        }
        const DWORD error = api_->WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            return error;
        if (const DWORD waited = Wait(true))
            return waited;
    }
    return 0;
}

// Receives what has arrived, up to room bytes, waiting for something;
// *received is 0 when the server closed the connection.
DWORD WinsockTransport::SocketReceive(char *into, size_t room, size_t *received)
{
    for (;;) {
        const int n = api_->recv(socket_, into, room, 0);
        if (n >= 0) {
            *received = n;
            return 0;
        }
        const DWORD error = api_->WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            return error;
        if (const DWORD waited = Wait(false))
            return waited;
    }
}

// TLS asks for each record's 5-byte header, then for its body: two
// receives a record, each a round trip to the wineserver under Wine. One
// receive brings several records here instead, which TLS takes from.
DWORD WinsockTransport::ReceiveRecords(unsigned char *into, size_t room, size_t *received)
{
    if (recordsStart_ == recordsEnd_) {
        recordsStart_ = recordsEnd_ = 0;
        if (const DWORD error = SocketReceive(reinterpret_cast<char *>(records_.get()), kRecordsSize,
                                              &recordsEnd_))
            return error;
    }
    const size_t have = recordsEnd_ - recordsStart_;
    *received = have < room ? have : room;
    CopyMemory(into, records_.get() + recordsStart_, *received);
    recordsStart_ += *received;
    return 0;
}

DWORD WinsockTransport::ReadConnection(void *self, unsigned char *data, size_t size, size_t *got)
{
    return static_cast<WinsockTransport *>(self)->ReceiveRecords(data, size, got);
}

DWORD WinsockTransport::WriteConnection(void *self, const unsigned char *data, size_t size)
{
    return static_cast<WinsockTransport *>(self)->SocketSend(reinterpret_cast<const char *>(data),
                                                             size);
}

// The request's bytes, and the answer's, through TLS on an https address.
DWORD WinsockTransport::SendAll(const std::string &text)
{
    return tls_ ? tls_->Send(text) : SocketSend(text.data(), text.size());
}

DWORD WinsockTransport::ReceiveInto(char *into, size_t room, size_t *received)
{
    return tls_ ? tls_->Receive(into, room, received) : SocketReceive(into, room, received);
}

// Appends what has arrived to the buffer; nothing appended when the server
// closed the connection.
DWORD WinsockTransport::Receive()
{
    if (start_ > 0) {  // make room at the end
        MoveMemory(buffer_.get(), buffer_.get() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    size_t received = 0;
    const DWORD error = ReceiveInto(buffer_.get() + end_, kBufferSize - end_, &received);
    end_ += received;
    return error;
}

DWORD WinsockTransport::ReadHeadInto(HttpAnswer *answer)
{
    for (;;) {
        HttpHead head;
        size_t used = 0;
        switch (ReadHead(buffer_.get(), end_, &head, &used)) {
        case kHeadInvalid:
            return WSAECONNABORTED;
        case kHeadComplete:
            answer->status = head.status;
            answer->statusText = head.statusText;
            counted_ = head.hasLength && !head.chunked;
            left_ = head.length;
            answer->length = counted_ && head.length <= 0xFFFFFFFFu ? DWORD(head.length) : 0;
            answer->contentRange = head.contentRange;
            answer->etag = head.etag;
            answer->lastModified = head.lastModified;
            answer->location = head.location;
            chunked_ = head.chunked;
            answer->endKnown = counted_ || chunked_;
            start_ = used;
            raw_ = true;
            return 0;
        case kHeadIncomplete:
            break;
        }
        const size_t before = end_;
        if (const DWORD error = Receive())
            return error;
        if (end_ == before)  // closed without (the rest of) an answer
            return kCutError;
    }
}

// The host of an address and the proxy on the way to it, as a box names them.
ConnectionTrouble RouteOf(const HttpUrl &url, const ProxyChoice &via)
{
    ConnectionTrouble route;
    route.host = url.host;
    route.port = url.port;
    route.setting = via.problem;
    if (!via.direct) {
        route.proxy = via.proxy.host + ":" + DecimalText(via.proxy.port);
        route.source = via.source;
    }
    return route;
}

ConnectionTrouble WinsockTransport::Route(const std::string &url) const
{
    HttpUrl parts;
    if (!SplitUrl(url, &parts))
        return ConnectionTrouble();
    return RouteOf(parts, ChooseProxy(proxySettings_, parts.secure, parts.host, parts.port));
}

// The proxy's own answer instead of the server's: final, since asking
// again gets the same.
DWORD WinsockTransport::Refused(ConnectionTrouble::Kind kind, const HttpAnswer &answer)
{
    trouble_.kind = kind;
    trouble_.status = answer.status;
    trouble_.statusText = answer.statusText;
    return kRefusal | answer.status;
}

// Asks the proxy for a tunnel to the server; on 2xx the connection is the
// server's from the next byte on.
DWORD WinsockTransport::OpenTunnel(const HttpUrl &url)
{
    if (const DWORD error = SendAll(ConnectRequest(url.host, url.port)))
        return error;
    HttpAnswer answer = HttpAnswer();
    if (const DWORD error = ReadHeadInto(&answer))
        return error;
    if (answer.status == 407)
        return Refused(ConnectionTrouble::kProxyWantsPassword, answer);
    if (answer.status < 200 || answer.status > 299)
        return Refused(ConnectionTrouble::kProxyRefused, answer);
    // Whatever followed the head would be the server's, which has nothing
    // to say before our ClientHello.
    start_ = end_ = 0;
    counted_ = chunked_ = false;
    return 0;
}

// Connects to the server, or through the proxy to it, and shakes hands
// for https.
DWORD WinsockTransport::Reach(const HttpUrl &url, const ProxyChoice &via)
{
    trouble_ = RouteOf(url, via);
    if (!via.direct) {
        if (const DWORD error = Connect(via.proxy.host, via.proxy.port)) {
            trouble_.kind = error == WSAETIMEDOUT ? ConnectionTrouble::kProxyNoAnswer
                                                  : ConnectionTrouble::kProxyUnreachable;
            trouble_.code = error;
            return error;
        }
        if (url.secure) {
            if (const DWORD error = OpenTunnel(url))
                return error;
        }
    } else if (const DWORD error = Connect(url.host, url.port)) {
        return error;
    }
    if (!url.secure)
        return 0;
    if (!records_)
        records_.reset(new unsigned char[kRecordsSize]);
    tls_.reset(new TlsStream(ReadConnection, WriteConnection, this));
    const DWORD error = tls_->Start(url.host);
    if (error) {
        const ConnectionTrouble route = trouble_;
        trouble_ = tls_->Trouble();
        trouble_.proxy = route.proxy;
        trouble_.source = route.source;
        trouble_.setting = route.setting;
    }
    return error;
}

DWORD WinsockTransport::Open(const std::string &url, const std::string &headers,
                             DWORD timeoutMs, HttpAnswer *answer)
{
    Close();
    timeoutMs_ = timeoutMs;
    HttpUrl parts;
    if (!SplitUrl(url, &parts))
        return WSAEPROTONOSUPPORT;
    const ProxyChoice via = ChooseProxy(proxySettings_, parts.secure, parts.host, parts.port);
    DWORD error = Reach(parts, via);
    if (error && tls_ && tls_->WorthAnotherTry()) {
        Close();
        error = Reach(parts, via);
    }
    if (error)
        return error;
    const bool proxied = !via.direct && !parts.secure;
    error = SendAll(proxied ? ProxyGetRequest(parts, headers) : GetRequest(parts, headers));
    if (error)
        return error;
    error = ReadHeadInto(answer);
    if (!error && proxied && answer->status == 407)
        return Refused(ConnectionTrouble::kProxyWantsPassword, *answer);
    return error;
}

DWORD WinsockTransport::Read(char *buffer, DWORD size, DWORD *got)
{
    *got = 0;
    for (;;) {
        if (chunked_ && raw_) {  // decode what arrived, in place
            size_t body = 0;
            const ChunkState state = DecodeChunks(&chunks_, buffer_.get() + start_, end_ - start_, &body);
            if (state == kChunkInvalid)
                return WSAECONNABORTED;
            ended_ = state == kChunkEnd;
            end_ = start_ + body;
            raw_ = false;
        }
        size_t have = end_ - start_;
        if (counted_ && have > left_)
            have = static_cast<size_t>(left_);
        if (have > 0) {
            const DWORD take = have < size ? DWORD(have) : size;
            CopyMemory(buffer, buffer_.get() + start_, take);
            start_ += take;
            left_ -= counted_ ? take : 0;
            *got = take;
            return 0;
        }
        if (ended_ || (counted_ && left_ == 0))
            return 0;
        // Nothing waits in our buffer: a plain body goes straight into the
        // caller's, a chunked one through ours to be decoded.
        char *into = chunked_ ? buffer_.get() : buffer;
        size_t room = chunked_ ? kBufferSize : counted_ && left_ < size ? size_t(left_) : size;
        size_t received = 0;
        if (const DWORD error = ReceiveInto(into, room, &received))
            return error;
        if (received == 0) {  // closed: the end only of a body that runs to the close
            ended_ = true;
            return chunked_ || counted_ ? kCutError : 0;
        }
        if (!chunked_) {
            left_ -= counted_ ? received : 0;
            *got = received;
            return 0;
        }
        start_ = 0;
        end_ = received;
        raw_ = true;
    }
}

void WinsockTransport::Close()
{
    tls_.reset();
    if (socket_ != INVALID_SOCKET)
        api_->closesocket(socket_);
    socket_ = INVALID_SOCKET;
    start_ = end_ = 0;
    recordsStart_ = recordsEnd_ = 0;
    left_ = 0;
    counted_ = chunked_ = ended_ = false;
    raw_ = true;
    chunks_ = ChunkDecoder();
}

}  // namespace

Transport *OpenWinsockTransport(volatile LONG *cancelled, DWORD *error)
{
    *error = 0;
    const WsockFunctions *api = Wsock();
    if (!api)
        return NULL;
    WSADATA data;
    if (const int failed = api->WSAStartup(MAKEWORD(1, 1), &data)) {
        *error = failed;
        return NULL;
    }
    return new WinsockTransport(api, cancelled);
}
