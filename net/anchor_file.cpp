#include "net/anchor_file.h"

#include <string.h>

namespace {

const unsigned char *Keep(AnchorStore *store, const void *data, size_t size)
{
    unsigned char *kept = new unsigned char[size ? size : 1];
    memcpy(kept, data, size);
    store->bytes.emplace_back(kept);
    return kept;
}

void AppendTo(void *context, const void *data, size_t size)
{
    static_cast<std::string *>(context)->append(static_cast<const char *>(data), size);
}

// One DER certificate as an anchor: its subject and key. A certificate
// that is not a CA's is trusted for itself alone, as a LAN server's own
// self-made certificate is.
bool AddCertificate(const std::string &der, AnchorStore *store)
{
    std::string subject;
    br_x509_decoder_context decoder;
    br_x509_decoder_init(&decoder, AppendTo, &subject);
    br_x509_decoder_push(&decoder, der.data(), der.size());
    const br_x509_pkey *key = br_x509_decoder_get_pkey(&decoder);
    if (!key || br_x509_decoder_last_error(&decoder) != 0)
        return false;
    br_x509_trust_anchor anchor = {};
    anchor.dn.data = const_cast<unsigned char *>(Keep(store, subject.data(), subject.size()));
    anchor.dn.len = subject.size();
    anchor.flags = br_x509_decoder_isCA(&decoder) ? BR_X509_TA_CA : 0;
    anchor.pkey.key_type = key->key_type;
    if (key->key_type == BR_KEYTYPE_RSA) {
        const br_rsa_public_key &rsa = key->key.rsa;
        anchor.pkey.key.rsa.n = const_cast<unsigned char *>(Keep(store, rsa.n, rsa.nlen));
        anchor.pkey.key.rsa.nlen = rsa.nlen;
        anchor.pkey.key.rsa.e = const_cast<unsigned char *>(Keep(store, rsa.e, rsa.elen));
        anchor.pkey.key.rsa.elen = rsa.elen;
    } else if (key->key_type == BR_KEYTYPE_EC) {
        const br_ec_public_key &ec = key->key.ec;
        anchor.pkey.key.ec.curve = ec.curve;
        anchor.pkey.key.ec.q = const_cast<unsigned char *>(Keep(store, ec.q, ec.qlen));
        anchor.pkey.key.ec.qlen = ec.qlen;
    } else {
        return false;
    }
    store->anchors.push_back(anchor);
    return true;
}

// The certificates of a PEM text; other objects (keys, say) are passed over.
size_t AddPem(const std::string &text, AnchorStore *store)
{
    br_pem_decoder_context pem;
    br_pem_decoder_init(&pem);
    std::string der;
    bool certificate = false;
    size_t added = 0;
    // A last line without its line break still ends the object.
    const std::string input = text + "\n";
    for (size_t at = 0; at < input.size();) {
        at += br_pem_decoder_push(&pem, input.data() + at, input.size() - at);
        switch (br_pem_decoder_event(&pem)) {
        case BR_PEM_BEGIN_OBJ: {
            der.clear();
            const std::string name = br_pem_decoder_name(&pem);
            certificate = name == "CERTIFICATE" || name == "X509 CERTIFICATE";
            br_pem_decoder_setdest(&pem, certificate ? AppendTo : NULL, &der);
            break;
        }
        case BR_PEM_END_OBJ:
            added += certificate && AddCertificate(der, store);
            certificate = false;
            break;
        case BR_PEM_ERROR:
            return added;
        }
    }
    return added;
}

}  // namespace

size_t AddAnchorsFrom(const std::string &contents, AnchorStore *store)
{
    if (contents.find("-----BEGIN ") != std::string::npos)
        return AddPem(contents, store);
    // DER: one certificate after another.
    size_t added = 0;
    for (size_t at = 0; at + 4 <= contents.size();) {
        const unsigned char *p = reinterpret_cast<const unsigned char *>(contents.data()) + at;
        size_t length, head;
        if (p[0] != 0x30)
            break;
        if (p[1] < 0x80) {
            length = p[1];
            head = 2;
        } else if (p[1] == 0x81) {
            length = p[2];
            head = 3;
        } else if (p[1] == 0x82) {
            length = size_t(p[2]) << 8 | p[3];
            head = 4;
        } else {
            break;
        }
        if (length > contents.size() - at - head)
            break;
        if (!AddCertificate(contents.substr(at, head + length), store))
            break;
        ++added;
        at += head + length;
    }
    return added;
}
