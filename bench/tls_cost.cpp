// The TLS client's work, built for an i486 as the program's is, for
// bench/tls_cost.py to count under qemu-i386. Every run does its work N
// times (n=N); the script subtracts the run with n=0, which starts, reads
// the same inputs, sets up the same engines and exits, so only the work
// itself is left. Arguments are key=value:
//   op=x25519|p256 ec=m31|m15|i31|i15                      key pair + shared secret
//   op=rsa rsa=ours|i31|i15|i32 key=CERT.der sig=SIG msg=MSG
//                                                         PKCS#1 v1.5 SHA-256 verify
//   op=ecdsa ec=m31|m15 key=CERT.der sig=SIG msg=MSG      ECDSA verify (SHA-256 on
//                                                         P-256, SHA-384 on P-384)
//   op=handshake port=P anchor=CERT.der... [rsa= ec= curves=all order=ecdsa-first
//                resume=1]
//                                                         the client side of n
//                                                         handshakes with 127.0.0.1:P
//   op=chapol poly=ctmul32|ctmul / op=gcm aes=ct|small|big ghash=ctmul32|ctmul
//                                                         decrypting n bytes of
//                                                         16 KiB records
// A result that does not check out exits non-zero: a count of failed work
// would mean nothing.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "net/rsa_public.h"
#include "net/tls_profile.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Args = std::multimap<std::string, std::string>;

[[noreturn]] void Fail(const std::string &why)
{
    fprintf(stderr, "tls_cost: %s\n", why.c_str());
    exit(1);
}

Args ParseArgs(int argc, char **argv)
{
    Args args;
    for (int i = 1; i < argc; ++i) {
        const char *equals = strchr(argv[i], '=');
        if (!equals)
            Fail(std::string("not key=value: ") + argv[i]);
        args.emplace(std::string(argv[i], static_cast<size_t>(equals - argv[i])), equals + 1);
    }
    return args;
}

std::string Arg(const Args &args, const std::string &key, const std::string &otherwise = "")
{
    const auto found = args.find(key);
    if (found != args.end())
        return found->second;
    if (otherwise.empty())
        Fail("missing " + key + "=");
    return otherwise;
}

Bytes ReadFile(const std::string &path)
{
    FILE *file = fopen(path.c_str(), "rb");
    if (!file)
        Fail("cannot read " + path);
    Bytes data;
    unsigned char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0)
        data.insert(data.end(), chunk, chunk + got);
    fclose(file);
    return data;
}

// A certificate's subject and key, copied out of the decoder, which keeps
// only pointers into its own buffers.
struct DecodedCertificate {
    Bytes dn;
    Bytes n, e;      // RSA
    Bytes q;         // EC
    int curve = 0;
    unsigned char keyType = 0;
    bool isCa = false;
};

void AppendDn(void *ctx, const void *data, size_t len)
{
    Bytes *dn = static_cast<Bytes *>(ctx);
    dn->insert(dn->end(), static_cast<const unsigned char *>(data),
               static_cast<const unsigned char *>(data) + len);
}

DecodedCertificate DecodeCertificate(const std::string &path)
{
    const Bytes der = ReadFile(path);
    DecodedCertificate cert;
    br_x509_decoder_context decoder;
    br_x509_decoder_init(&decoder, AppendDn, &cert.dn);
    br_x509_decoder_push(&decoder, der.data(), der.size());
    const br_x509_pkey *key = br_x509_decoder_get_pkey(&decoder);
    if (!key)
        Fail("no key in " + path);
    cert.keyType = key->key_type;
    cert.isCa = br_x509_decoder_isCA(&decoder);
    if (key->key_type == BR_KEYTYPE_RSA) {
        cert.n.assign(key->key.rsa.n, key->key.rsa.n + key->key.rsa.nlen);
        cert.e.assign(key->key.rsa.e, key->key.rsa.e + key->key.rsa.elen);
    } else {
        cert.curve = key->key.ec.curve;
        cert.q.assign(key->key.ec.q, key->key.ec.q + key->key.ec.qlen);
    }
    return cert;
}

br_rsa_public_key RsaKey(DecodedCertificate &cert)
{
    return {cert.n.data(), cert.n.size(), cert.e.data(), cert.e.size()};
}

br_ec_public_key EcKey(DecodedCertificate &cert)
{
    return {cert.curve, cert.q.data(), cert.q.size()};
}

struct Engines {
    br_rsa_pkcs1_vrfy rsa;
    const br_ec_impl *ec;
    br_ecdsa_vrfy ecdsa;
};

Engines ChooseEngines(const Args &args)
{
    Engines engines{};
    const std::string rsa = Arg(args, "rsa", "ours"), ec = Arg(args, "ec", "m31");
    engines.rsa = rsa == "ours"  ? RsaVerifyPkcs1
                : rsa == "i15" ? br_rsa_i15_pkcs1_vrfy
                : rsa == "i32" ? br_rsa_i32_pkcs1_vrfy
                : rsa == "i31" ? br_rsa_i31_pkcs1_vrfy
                               : nullptr;
    if (ec == "m31" || ec == "i31") {
        engines.ec = ec == "m31" ? &br_ec_all_m31 : &br_ec_prime_i31;
        engines.ecdsa = br_ecdsa_i31_vrfy_asn1;
    } else if (ec == "m15" || ec == "i15") {
        engines.ec = ec == "m15" ? &br_ec_all_m15 : &br_ec_prime_i15;
        engines.ecdsa = br_ecdsa_i15_vrfy_asn1;
    }
    if (!engines.rsa || !engines.ec)
        Fail("unknown engine " + rsa + " or " + ec);
    return engines;
}

// The engine for x25519 on its own, as the key exchange calls it.
const br_ec_impl *X25519Engine(const std::string &name)
{
    if (name == "m31")
        return &br_ec_c25519_m31;
    if (name == "m15")
        return &br_ec_c25519_m15;
    if (name == "i31")
        return &br_ec_c25519_i31;
    if (name == "i15")
        return &br_ec_c25519_i15;
    Fail("unknown x25519 engine " + name);
}

const br_ec_impl *P256Engine(const std::string &name)
{
    if (name == "m31")
        return &br_ec_p256_m31;
    if (name == "m15")
        return &br_ec_p256_m15;
    if (name == "i31")
        return &br_ec_prime_i31;
    if (name == "i15")
        return &br_ec_prime_i15;
    Fail("unknown P-256 engine " + name);
}

// What an ECDHE client computes: its key pair from a random secret, then
// the shared secret from the server's point (here the generator).
void KeyExchange(const br_ec_impl *ec, int curve, long times)
{
    br_hmac_drbg_context rng;
    br_hmac_drbg_init(&rng, &br_sha256_vtable, "tls_cost", 8);
    size_t pointLen;
    const unsigned char *generator = ec->generator(curve, &pointLen);
    for (long i = 0; i < times; ++i) {
        unsigned char secret[48], ours[133], shared[133];
        size_t orderLen;
        const unsigned char *order = ec->order(curve, &orderLen);
        // Below the order, as the client's own key exchange makes it.
        unsigned mask = 0xFF;
        while (mask >= order[0])
            mask >>= 1;
        br_hmac_drbg_generate(&rng, secret, orderLen);
        secret[0] &= mask;
        secret[orderLen - 1] |= 0x01;
        if (ec->mulgen(ours, secret, orderLen, curve) != pointLen)
            Fail("mulgen failed");
        memcpy(shared, generator, pointLen);
        if (!ec->mul(shared, pointLen, secret, orderLen, curve))
            Fail("mul failed");
    }
}

Bytes Hash(const br_hash_class *hash, const Bytes &message)
{
    br_hash_compat_context ctx;
    hash->init(&ctx.vtable);
    hash->update(&ctx.vtable, message.data(), message.size());
    Bytes out((hash->desc >> BR_HASHDESC_OUT_OFF) & BR_HASHDESC_OUT_MASK);
    hash->out(&ctx.vtable, out.data());
    return out;
}

void RsaVerify(const Args &args, long times)
{
    DecodedCertificate cert = DecodeCertificate(Arg(args, "key"));
    const br_rsa_public_key key = RsaKey(cert);
    const Bytes signature = ReadFile(Arg(args, "sig"));
    const Bytes hash = Hash(&br_sha256_vtable, ReadFile(Arg(args, "msg")));
    const br_rsa_pkcs1_vrfy verify = ChooseEngines(args).rsa;
    for (long i = 0; i < times; ++i) {
        unsigned char recovered[32];
        if (!verify(signature.data(), signature.size(), BR_HASH_OID_SHA256, sizeof recovered,
                    &key, recovered) ||
            memcmp(recovered, hash.data(), sizeof recovered) != 0)
            Fail("RSA signature does not verify");
    }
}

void EcdsaVerify(const Args &args, long times)
{
    DecodedCertificate cert = DecodeCertificate(Arg(args, "key"));
    const br_ec_public_key key = EcKey(cert);
    const Bytes signature = ReadFile(Arg(args, "sig"));
    const br_hash_class *hash =
        cert.curve == BR_EC_secp384r1 ? &br_sha384_vtable : &br_sha256_vtable;
    const Bytes digest = Hash(hash, ReadFile(Arg(args, "msg")));
    const Engines engines = ChooseEngines(args);
    for (long i = 0; i < times; ++i)
        if (!engines.ecdsa(engines.ec, digest.data(), digest.size(), &key, signature.data(),
                           signature.size()))
            Fail("ECDSA signature does not verify");
}

// Anchors made from certificates as the program's anchor list is: subject
// DN and key, as CAs.
struct Anchors {
    std::vector<DecodedCertificate> certificates;
    std::vector<br_x509_trust_anchor> list;
};

void LoadAnchors(const Args &args, Anchors *anchors)
{
    const auto range = args.equal_range("anchor");
    for (auto it = range.first; it != range.second; ++it)
        anchors->certificates.push_back(DecodeCertificate(it->second));
    for (DecodedCertificate &cert : anchors->certificates) {
        br_x509_trust_anchor anchor{};
        anchor.dn = {cert.dn.data(), cert.dn.size()};
        anchor.flags = BR_X509_TA_CA;
        anchor.pkey.key_type = cert.keyType;
        if (cert.keyType == BR_KEYTYPE_RSA)
            anchor.pkey.key.rsa = RsaKey(cert);
        else
            anchor.pkey.key.ec = EcKey(cert);
        anchors->list.push_back(anchor);
    }
    if (anchors->list.empty())
        Fail("no anchor=");
}

// The profile's suites with each cipher's ECDSA suite before its RSA one.
void OfferEcdsaFirst(br_ssl_engine_context *engine)
{
    static const uint16_t kSuites[] = {
        BR_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
        BR_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
        BR_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
        BR_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
        BR_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
        BR_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    };
    br_ssl_engine_set_suites(engine, kSuites, sizeof kSuites / sizeof kSuites[0]);
}

// Other engines than the profile's, where asked for (rsa=, ec=).
void UseEngines(const Args &args, br_ssl_client_context *client, br_x509_minimal_context *x509)
{
    const Engines engines = ChooseEngines(args);
    static br_ec_impl exchange;
    exchange = *client->eng.iec;
    if (args.count("rsa")) {
        br_ssl_engine_set_rsavrfy(&client->eng, engines.rsa);
        br_x509_minimal_set_rsa(x509, engines.rsa);
    }
    if (args.count("ec")) {
        const uint32_t curves = exchange.supported_curves;
        exchange = *engines.ec;
        exchange.supported_curves = curves;
        br_ssl_engine_set_ecdsa(&client->eng, engines.ecdsa);
        br_x509_minimal_set_ecdsa(x509, engines.ec, engines.ecdsa);
    }
    br_ssl_engine_set_ec(&client->eng, &exchange);
}

// Closes as a client should, so that the server keeps the session for a
// resumption (OpenSSL forgets the sessions of connections cut short).
void CloseProperly(br_ssl_engine_context *engine, int fd)
{
    br_ssl_engine_close(engine);
    for (;;) {
        const unsigned state = br_ssl_engine_current_state(engine);
        size_t len;
        if (state & BR_SSL_CLOSED)
            return;
        if (state & BR_SSL_SENDREC) {
            unsigned char *buffer = br_ssl_engine_sendrec_buf(engine, &len);
            const ssize_t sent = write(fd, buffer, len);
            if (sent <= 0)
                return;
            br_ssl_engine_sendrec_ack(engine, static_cast<size_t>(sent));
        } else if (state & BR_SSL_RECVREC) {
            unsigned char *buffer = br_ssl_engine_recvrec_buf(engine, &len);
            const ssize_t got = read(fd, buffer, len);
            if (got <= 0)
                return;
            br_ssl_engine_recvrec_ack(engine, static_cast<size_t>(got));
        } else {
            return;
        }
    }
}

int ConnectToLoopback(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        Fail("cannot connect to 127.0.0.1:" + std::to_string(port));
    return fd;
}

// Moves records between the engine and the socket until the engine may
// send application data: the handshake is done, the server's Finished
// checked.
void RunHandshake(br_ssl_engine_context *engine, int fd)
{
    for (;;) {
        const unsigned state = br_ssl_engine_current_state(engine);
        if (state & BR_SSL_CLOSED)
            Fail("handshake failed, BearSSL error " + std::to_string(br_ssl_engine_last_error(engine)));
        size_t len;
        if (state & BR_SSL_SENDREC) {
            unsigned char *buffer = br_ssl_engine_sendrec_buf(engine, &len);
            const ssize_t sent = write(fd, buffer, len);
            if (sent <= 0)
                Fail("send failed");
            br_ssl_engine_sendrec_ack(engine, static_cast<size_t>(sent));
        } else if (state & BR_SSL_SENDAPP) {
            return;
        } else if (state & BR_SSL_RECVREC) {
            unsigned char *buffer = br_ssl_engine_recvrec_buf(engine, &len);
            const ssize_t got = read(fd, buffer, len);
            if (got <= 0)
                Fail("the server closed the connection during the handshake");
            br_ssl_engine_recvrec_ack(engine, static_cast<size_t>(got));
        } else {
            Fail("the engine waits for nothing");
        }
    }
}

void Handshakes(const Args &args, long times)
{
    Anchors anchors;
    LoadAnchors(args, &anchors);
    static br_ssl_client_context client;
    static br_x509_minimal_context x509;
    static unsigned char buffer[BR_SSL_BUFSIZE_BIDI];
    SetUpTlsClient(&client, &x509, anchors.list.data(), anchors.list.size(),
                   Arg(args, "curves", "x25519") == "all");
    UseEngines(args, &client, &x509);
    if (Arg(args, "order", "rsa-first") == "ecdsa-first")
        OfferEcdsaFirst(&client.eng);
    br_ssl_engine_set_buffer(&client.eng, buffer, sizeof buffer, 1);
    const int port = atoi(Arg(args, "port").c_str());
    const bool resume = Arg(args, "resume", "0") == "1";
    br_ssl_session_parameters first{};
    for (long i = 0; i < times; ++i) {
        const int fd = ConnectToLoopback(port);
        if (!br_ssl_client_reset(&client, "localhost", resume && i > 0))
            Fail("reset failed");
        RunHandshake(&client.eng, fd);
        if (resume)
            CloseProperly(&client.eng, fd);
        close(fd);
        if (i == 0)
            br_ssl_engine_get_session_parameters(&client.eng, &first);
    }
    if (times > 0) {
        br_ssl_session_parameters last;
        br_ssl_engine_get_session_parameters(&client.eng, &last);
        const bool resumed = times > 1 && last.session_id_len > 0 &&
                             last.session_id_len == first.session_id_len &&
                             memcmp(last.session_id, first.session_id, last.session_id_len) == 0;
        fprintf(stderr, "suite %04X, curve %d%s", last.cipher_suite, client.eng.ecdhe_curve,
                resumed ? ", resumed" : "");
    }
}

// Decrypts TIMES bytes as 16 KiB records, as a download receives them. The
// records hold no valid tag: the work until the tag is compared is the
// same, and it is all that is counted.
void DecryptRecords(const Args &args, long times)
{
    const std::string op = Arg(args, "op");
    static unsigned char record[8 + 16384 + 16];
    const unsigned char key[32] = {1, 2, 3}, iv[12] = {4, 5, 6};
    br_sslrec_chapol_context chapol;
    br_sslrec_gcm_context gcm;
    const br_sslrec_in_class **in;
    size_t overhead;
    if (op == "chapol") {
        const std::string poly = Arg(args, "poly", "ctmul32");
        const br_poly1305_run run = poly == "ctmul" ? br_poly1305_ctmul_run
                                  : poly == "i15"   ? br_poly1305_i15_run
                                                    : br_poly1305_ctmul32_run;
        br_sslrec_in_chapol_vtable.init(&chapol.vtable.in, br_chacha20_ct_run, run, key, iv);
        in = reinterpret_cast<const br_sslrec_in_class **>(&chapol.vtable.in);
        overhead = 16;
    } else {
        const std::string aes = Arg(args, "aes", "ct"), ghash = Arg(args, "ghash", "ctmul32");
        const br_block_ctr_class *ctr = aes == "small" ? &br_aes_small_ctr_vtable
                                      : aes == "big"   ? &br_aes_big_ctr_vtable
                                                       : &br_aes_ct_ctr_vtable;
        br_sslrec_in_gcm_vtable.init(&gcm.vtable.in, ctr, key, 16,
                                     ghash == "ctmul" ? br_ghash_ctmul : br_ghash_ctmul32, iv);
        in = reinterpret_cast<const br_sslrec_in_class **>(&gcm.vtable.in);
        overhead = 8 + 16;
    }
    const int kApplicationData = 23;
    for (long left = times; left > 0; left -= 16384) {
        size_t len = (left < 16384 ? static_cast<size_t>(left) : 16384) + overhead;
        if ((*in)->decrypt(in, kApplicationData, BR_TLS12, record, &len))
            Fail("a record with no tag passed");
    }
}

}  // namespace

int main(int argc, char **argv)
{
    const Args args = ParseArgs(argc, argv);
    const std::string op = Arg(args, "op");
    const long times = atol(Arg(args, "n").c_str());
    if (op == "x25519")
        KeyExchange(X25519Engine(Arg(args, "ec", "m31")), BR_EC_curve25519, times);
    else if (op == "p256")
        KeyExchange(P256Engine(Arg(args, "ec", "m31")), BR_EC_secp256r1, times);
    else if (op == "rsa")
        RsaVerify(args, times);
    else if (op == "ecdsa")
        EcdsaVerify(args, times);
    else if (op == "handshake")
        Handshakes(args, times);
    else if (op == "chapol" || op == "gcm")
        DecryptRecords(args, times);
    else
        Fail("unknown op=" + op);
    return 0;
}
