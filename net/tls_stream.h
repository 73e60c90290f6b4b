// TLS 1.2 of the program's own over a connection the caller owns: what
// lets a Windows 95 on a 486 follow today's servers to https, where the
// SSL of Internet Explorer's WININET is too old for them.
#pragma once
#include <windows.h>

#include <memory>
#include <string>

#include "net/transport.h"

struct TlsState;

// Reads what has arrived of the connection, waiting for something: 0, or
// the connection's error; *got is 0 when the peer closed it.
typedef DWORD (*ConnectionRead)(void *connection, unsigned char *data, size_t size, size_t *got);
// Sends all of data: 0, or the connection's error.
typedef DWORD (*ConnectionWrite)(void *connection, const unsigned char *data, size_t size);

class TlsStream {
public:
    TlsStream(ConnectionRead read, ConnectionWrite write, void *connection);
    ~TlsStream();
    // The handshake with host: 0, the connection's error, or
    // kRefusal with the TLS library's error; Trouble() says why.
    DWORD Start(const std::string &host);
    DWORD Send(const std::string &text);
    // Like ConnectionRead, for the decrypted stream. The end is a
    // close_notify, or a close between records; a close inside one is
    // a cut.
    DWORD Receive(char *into, size_t room, size_t *got);
    ConnectionTrouble Trouble() const { return trouble_; }
    // Whether Start was refused only for offering too few curves, so that a
    // new connection to the host (which offers them all) may succeed.
    bool WorthAnotherTry() const { return worthAnotherTry_; }

private:
    DWORD Failure(bool handshake);

    std::unique_ptr<TlsState> state_;
    ConnectionTrouble trouble_;
    bool worthAnotherTry_ = false;
};
