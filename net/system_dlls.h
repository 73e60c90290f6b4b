// WININET and WSOCK32, loaded when first needed rather than imported: a
// Windows 95 or NT 4.0 without Internet Explorer has no WININET.DLL, and
// one without TCP/IP no WSOCK32.DLL, and Windows refuses to start a program
// that imports from a DLL it lacks.
#pragma once
#include <windows.h>
#include <wininet.h>
#include <winsock.h>

#define PELMORA_WININET_FUNCTIONS(X)                                                      \
    X(InternetOpenA) X(InternetConnectA) X(InternetCrackUrlA) X(HttpOpenRequestA)         \
    X(InternetSetOptionA) X(HttpSendRequestA) X(HttpQueryInfoA) X(InternetQueryDataAvailable) \
    X(InternetReadFile) X(InternetCloseHandle)

// Winsock 1.1 only: Windows 95 has no WS2_32.DLL without an update.
#define PELMORA_WSOCK_FUNCTIONS(X)                                                        \
    X(WSAStartup) X(WSAGetLastError) X(socket) X(closesocket) X(ioctlsocket) X(connect)     \
    X(select) X(send) X(recv) X(getsockopt) X(gethostbyname) X(inet_addr) X(htons)

#define PELMORA_DECLARE_SLOT(name) decltype(&::name) name;

struct WininetFunctions {
    PELMORA_WININET_FUNCTIONS(PELMORA_DECLARE_SLOT)
};

struct WsockFunctions {
    PELMORA_WSOCK_FUNCTIONS(PELMORA_DECLARE_SLOT)
};

// The DLL's functions, or NULL when the DLL or any one of them is missing.
const WininetFunctions *Wininet();
const WsockFunctions *Wsock();
