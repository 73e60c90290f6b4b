// Files beside the program are whatever a user put there, and certificates
// come from any server: both readers must take any bytes.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "net/anchor_file.h"
#include "net/certificate_names.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AnchorStore store;
    const size_t added = AddAnchorsFrom(std::string(reinterpret_cast<const char *>(data), size), &store);
    if (added != store.anchors.size())
        __builtin_trap();
    for (const br_x509_trust_anchor &anchor : store.anchors)
        if (anchor.pkey.key_type == BR_KEYTYPE_RSA && anchor.pkey.key.rsa.nlen == 0)
            __builtin_trap();
    CertificateNames names;
    ReadCertificateNames(data, size, &names);
    return 0;
}
