// How the download reaches a server: through WININET where Internet Explorer
// installed it (with the proxy of Internet Options), otherwise over Winsock
// 1.1, which every Windows 95 and NT 4.0 with TCP/IP has. The download's
// rules (retries, resumes, redirects, time limits) sit above this, alike for
// both.
#pragma once
#include <windows.h>

#include <string>

#include "net/connection_trouble.h"

// What the download needs of an answer's head.
struct HttpAnswer {
    DWORD status;
    std::string statusText;
    DWORD length;  // Content-Length; 0 when none, or when it is beyond 32 bits
    bool endKnown;  // a cut body reads as an error or falls short of length, never as the end
    std::string contentRange, etag, lastModified, location;
};

// Open's error for a server whose TLS the program refuses (its certificate,
// or nothing in common), or a proxy that refuses the request: no retry can
// help. Bit 29 marks codes of our own.
const DWORD kRefusal = 0x20000000;
inline bool IsRefusal(DWORD error)
{
    return (error & kRefusal) != 0;
}

// One request at a time. Every call but Abandon is made on the downloading
// thread.
class Transport {
public:
    virtual ~Transport() {}
    // Sends a GET for url with the extra header lines and reads the answer's
    // head, waiting at most timeoutMs for each step of the way. 0, or the
    // transport's own error code (WININET's 12xxx, Winsock's 100xx).
    virtual DWORD Open(const std::string &url, const std::string &headers, DWORD timeoutMs,
                       HttpAnswer *answer) = 0;
    // Reads what has arrived of the body, up to size bytes, waiting for at
    // least one; *got is 0 at its end. A body cut short is an error, where
    // the transport can tell.
    virtual DWORD Read(char *buffer, DWORD size, DWORD *got) = 0;
    // Ends the current request.
    virtual void Close() = 0;
    // From another thread: makes a call that hangs past every time limit
    // return, where the transport needs help for that.
    virtual void Abandon() = 0;
    // Its code for "the server did not answer in time".
    virtual DWORD TimeoutError() const = 0;
    // Why the last Open failed, where the transport can say (its own TLS,
    // its proxy); with the proxy setting it could not use, if any.
    virtual ConnectionTrouble Trouble() const { return ConnectionTrouble(); }
    // How it would reach url: the host, and the proxy on the way (with
    // where it was set, and any setting it could not use). From any thread.
    virtual ConnectionTrouble Route(const std::string &url) const
    {
        (void)url;
        return ConnectionTrouble();
    }
};

// NULL when this Windows has no WININET.DLL; *error is then 0, or the
// error of a WININET that could not be set up.
// It carries plain http; https goes through the program's own TLS over
// Winsock where WSOCK32 is there (WININET's SSL is too old for today's
// servers), else through WININET.
Transport *OpenWininetTransport(const char *agent, volatile LONG *cancelled, DWORD *error);
// NULL when it has no WSOCK32.DLL. The transport looks at *cancelled
// several times a second while it waits.
Transport *OpenWinsockTransport(volatile LONG *cancelled, DWORD *error);
