// Why a secure connection could not be made, as facts; the words are the
// program's to choose (fetch/words.cpp). No windows.h, so that those words
// are unit-tested natively.
#pragma once
#include <stdint.h>

#include <string>
#include <vector>

struct SecureTrouble {
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
    };
    Kind kind = kNone;
    std::string host, issuer, name;
    uint32_t certificateDay = 0, usedDay = 0;
    std::vector<std::string> skippedFiles;  // *.crt beside the program that are not certificates
    uint32_t code = 0;
};
