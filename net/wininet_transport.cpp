// The transport of a Windows with Internet Explorer: WININET, which takes
// the proxy set in Internet Options. The SSL of Internet Explorer 3 to 6
// speaks nothing today's servers accept, so https goes through the
// program's own TLS over Winsock; only where WSOCK32 is missing does
// WININET try it itself.
#include <memory>

#include "net/http_reading.h"
#include "net/proxy_config.h"
#include "net/system_dlls.h"
#include "net/transport.h"

namespace {

const DWORD kBlockSize = 64 * 1024;

class WininetTransport : public Transport {
public:
    WininetTransport(const WininetFunctions *api, HINTERNET session, Transport *secure)
        : api_(api), session_(session), connection_(NULL), request_(NULL), want_(0), last_(0),
          secure_(secure), secureOpen_(false)
    {
    }
    ~WininetTransport() override
    {
        Close();
        Abandon();
    }
    DWORD Open(const std::string &url, const std::string &headers, DWORD timeoutMs,
               HttpAnswer *answer) override;
    DWORD Read(char *buffer, DWORD size, DWORD *got) override;
    void Close() override;
    void Abandon() override;
    DWORD TimeoutError() const override { return ERROR_INTERNET_TIMEOUT; }
    ConnectionTrouble Trouble() const override
    {
        return secureOpen_ ? secure_->Trouble() : ConnectionTrouble();
    }
    // Plain http goes WININET's way, through the proxy it finds itself.
    ConnectionTrouble Route(const std::string &url) const override
    {
        return secure_ && IsHttpsUrl(url) ? secure_->Route(url) : ConnectionTrouble();
    }

private:
    DWORD Number(DWORD what);
    std::string Text(DWORD what);

    const WininetFunctions *api_;
    void *volatile session_;  // closed by Abandon from another thread
    HINTERNET connection_, request_;
    DWORD want_, last_;  // the next read's size, and when the last one ended
    std::unique_ptr<Transport> secure_;  // https, where WSOCK32 is there
    bool secureOpen_;                    // the current request is secure_'s
};

DWORD WininetTransport::Number(DWORD what)
{
    DWORD value = 0, size = sizeof value, index = 0;
    if (!api_->HttpQueryInfoA(request_, what | HTTP_QUERY_FLAG_NUMBER, &value, &size, &index))
        return 0;
    return value;
}

std::string WininetTransport::Text(DWORD what)
{
    char text[1024] = "";
    DWORD size = sizeof text, index = 0;
    return api_->HttpQueryInfoA(request_, what, text, &size, &index) ? text : "";
}

DWORD WininetTransport::Open(const std::string &url, const std::string &headers,
                             DWORD timeoutMs, HttpAnswer *answer)
{
    secureOpen_ = secure_ && IsHttpsUrl(url);
    if (secureOpen_)
        return secure_->Open(url, headers, timeoutMs, answer);
    char host[INTERNET_MAX_HOST_NAME_LENGTH], path[INTERNET_MAX_PATH_LENGTH];
    URL_COMPONENTSA parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = sizeof host;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = sizeof path;
    if (!api_->InternetCrackUrlA(url.c_str(), 0, 0, &parts))
        return GetLastError();
    const bool secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    connection_ = api_->InternetConnectA(session_, host, parts.nPort, NULL, NULL,
                                         INTERNET_SERVICE_HTTP, 0, 0);
    if (!connection_)
        return GetLastError();
    // Redirects come back to the download, which follows them alike on
    // every transport and can say where one led.
    request_ = api_->HttpOpenRequestA(connection_, "GET", path, NULL, NULL, NULL,
                                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT |
                                          (secure ? INTERNET_FLAG_SECURE : 0),
                                      0);
    if (!request_)
        return GetLastError();
    api_->InternetSetOptionA(request_, INTERNET_OPTION_CONNECT_TIMEOUT, &timeoutMs, sizeof timeoutMs);
    api_->InternetSetOptionA(request_, INTERNET_OPTION_SEND_TIMEOUT, &timeoutMs, sizeof timeoutMs);
    api_->InternetSetOptionA(request_, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeoutMs, sizeof timeoutMs);
    if (!api_->HttpSendRequestA(request_, headers.empty() ? NULL : headers.c_str(), headers.size(),
                                NULL, 0))
        return GetLastError();
    answer->status = Number(HTTP_QUERY_STATUS_CODE);
    if (answer->status == 0)  // no status line: closed without an answer
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    answer->statusText = Text(HTTP_QUERY_STATUS_TEXT);
    answer->length = Number(HTTP_QUERY_CONTENT_LENGTH);
    // WININET reads chunks itself, and may take a connection closed inside
    // one for the body's end.
    answer->endKnown = answer->length > 0;
    answer->contentRange = Text(HTTP_QUERY_CONTENT_RANGE);
    answer->etag = Text(HTTP_QUERY_ETAG);
    answer->lastModified = Text(HTTP_QUERY_LAST_MODIFIED);
    answer->location = Text(HTTP_QUERY_LOCATION);
    want_ = 0;
    last_ = GetTickCount();
    return 0;
}

// A read returns only once all it asked for is in, so each asks for what
// arrives in about a quarter second: on a fast line 64 KiB at a time, as
// cheap as it gets; on a slow one no more than what has arrived, so that
// the progress moves even at 300 bytes a second.
DWORD NextReadSize(DWORD got, DWORD tookMs)
{
    // A read served at once from what had arrived before says nothing of
    // the line's speed, only that more may be asked for.
    const DWORD want = tookMs < 20 ? got * 2 : got * 250 / tookMs;
    return want < 1 ? 1 : want > kBlockSize ? kBlockSize : want;
}

DWORD WininetTransport::Read(char *buffer, DWORD size, DWORD *got)
{
    if (secureOpen_)
        return secure_->Read(buffer, size, got);
    *got = 0;
    if (want_ < kBlockSize) {  // not known to be fast: see what has arrived
        DWORD available = 0;
        if (!api_->InternetQueryDataAvailable(request_, &available, 0, 0))
            return GetLastError();
        want_ = available > kBlockSize ? kBlockSize : available > want_ ? available : want_;
    }
    const DWORD asked = want_ < size ? want_ : size;
    if (asked && !api_->InternetReadFile(request_, buffer, asked, got))
        return GetLastError() ? GetLastError() : ERROR_INTERNET_CONNECTION_RESET;
    const DWORD now = GetTickCount();
    if (*got)
        want_ = NextReadSize(*got, now - last_);
    last_ = now;
    return 0;
}

void WininetTransport::Close()
{
    if (secure_)
        secure_->Close();
    secureOpen_ = false;
    if (request_)
        api_->InternetCloseHandle(request_);
    if (connection_)
        api_->InternetCloseHandle(connection_);
    request_ = connection_ = NULL;
}

// WININET lets a connect to a host that drops packets hang past its own
// time-outs; closing the session is Windows' documented way out.
void WininetTransport::Abandon()
{
    HINTERNET session = InterlockedExchangePointer(&session_, NULL);
    if (session)
        api_->InternetCloseHandle(session);
    if (secure_)
        secure_->Abandon();
}

}  // namespace

Transport *OpenWininetTransport(const char *agent, volatile LONG *cancelled, DWORD *error)
{
    *error = 0;
    const WininetFunctions *api = Wininet();
    if (!api)
        return NULL;
    // WININET reads only Internet Options. Where the proxy is set in the
    // environment alone (http_proxy in AUTOEXEC.BAT), it would take plain
    // http direct while https went through the proxy: the program's own
    // transport then carries both.
    const ProxySettings proxy = ReadProxySettings();
    if (!InternetOptionsNameProxy(proxy) && !proxy.httpProxy.empty())
        return NULL;
    // The proxy set in Internet Options, if any, carries every request, as
    // for the browser: on a LAN whose only way out is such a proxy nothing
    // could be reached directly.
    HINTERNET session = api->InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, NULL, NULL, 0);
    if (!session) {
        *error = GetLastError() ? GetLastError() : ERROR_INTERNET_INTERNAL_ERROR;
        return NULL;
    }
    DWORD ignored = 0;
    return new WininetTransport(api, session, OpenWinsockTransport(cancelled, &ignored));
}
