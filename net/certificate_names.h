// What a box needs to say about a certificate, read from its DER bytes:
// who issued it, whom it is for, and when it is valid. No windows.h, so it
// is tested natively.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

struct CertificateNames {
    std::string issuer;   // the issuer's common name, else its organisation
    std::string subject;  // the first DNS name it is for, else its common name
    uint32_t notBefore = 0, notAfter = 0;  // days since 1 January of year 0
};

// False when the bytes are not an X.509 certificate as far as these fields go.
bool ReadCertificateNames(const unsigned char *der, size_t size, CertificateNames *names);
