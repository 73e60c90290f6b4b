// Why a connection could not be made (the program's own TLS, or the proxy
// on the way), as facts; the words are the program's to choose
// (fetch/words.cpp). No windows.h, so that those words
// are unit-tested natively.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct ConnectionTrouble {
    enum Kind {
        kNone,
        kUntrusted,         // issuer: who issued the top of the chain
        kWrongName,         // name: whom the certificate is for
        kExpired,           // certificateDay: its last day; usedDay: the date checked
        kNotYetValid,       // certificateDay: its first day
        kNoCommonProtocol,  // TLS 1.0/1.1 only, RSA key exchange only, CBC only...
        kBrokenOff,         // closed or alerted during the handshake
        kNoAnswer,          // silent past the first-contact limit
        kOther,             // code: the TLS library's error
        // The proxy (and source: where it was set) on the way:
        kProxyWantsPassword,  // answered 407
        kProxyRefused,        // would not open a tunnel to host:port (status, statusText)
        kProxyUnreachable,    // code: the connection's error
        kProxyNoAnswer,       // silent past the first-contact limit
    };
    Kind kind = kNone;
    std::string host, issuer, name;
    uint16_t port = 0;
    std::string proxy, source;
    uint32_t status = 0;
    std::string statusText;
    uint32_t certificateDay = 0, usedDay = 0;
    std::vector<std::string> skippedFiles;  // *.crt beside the program that are not certificates
    uint32_t code = 0;
    // A proxy setting that could not be used, as a whole sentence: the
    // request went direct, and a box of its failure says so.
    std::string setting;
};
