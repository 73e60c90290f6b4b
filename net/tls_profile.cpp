#include "net/tls_profile.h"

#include "net/rsa_public.h"

namespace {

// ChaCha20 first: without AES instructions it is several times cheaper per
// byte than AES-GCM on a 486. Within each cipher the RSA suites come first:
// where a server holds both kinds of certificate, an RSA-2048 signature
// costs a 486 far less to verify than an ECDSA one on P-384.
const uint16_t kSuites[] = {
    BR_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256,
    BR_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,
    BR_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,
    BR_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,
    BR_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,
    BR_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,
};

// x25519, P-256 and P-384, in the engines BearSSL builds from 32-bit
// multiplications; P-521 is not offered.
const uint32_t kCurves = (1u << BR_EC_curve25519) | (1u << BR_EC_secp256r1) |
                         (1u << BR_EC_secp384r1);

br_ec_impl EcEngine(uint32_t curves)
{
    br_ec_impl engine = br_ec_all_m31;
    engine.supported_curves = curves;
    return engine;
}

const br_ec_impl kEcEngine = EcEngine(kCurves);
const br_ec_impl kX25519Engine = EcEngine(1u << BR_EC_curve25519);

// The server's ECDSA signature is checked on its key's curve, whichever
// curves the key exchange was offered.
uint32_t VerifyServerEcdsa(const br_ec_impl *, const void *hash, size_t hashLength,
                           const br_ec_public_key *key, const void *signature,
                           size_t signatureLength)
{
    return br_ecdsa_i31_vrfy_asn1(&kEcEngine, hash, hashLength, key, signature, signatureLength);
}

}  // namespace

void SetUpTlsClient(br_ssl_client_context *client, br_x509_minimal_context *x509,
                    const br_x509_trust_anchor *anchors, size_t anchorCount, bool allCurves)
{
    br_ssl_client_zero(client);
    br_ssl_engine_context *engine = &client->eng;
    br_ssl_engine_set_versions(engine, BR_TLS12, BR_TLS12);
    br_ssl_engine_set_suites(engine, kSuites, sizeof kSuites / sizeof kSuites[0]);

    br_x509_minimal_init(x509, &br_sha256_vtable, anchors, anchorCount);
    // Certificates are signed with SHA-256, -384 or -512 now; SHA-1 remains
    // only on old self-signed roots, whose own signature is never checked.
    static const br_hash_class *const kHashes[] = {&br_sha256_vtable, &br_sha384_vtable,
                                                   &br_sha512_vtable};
    for (const br_hash_class *hash : kHashes) {
        const int id = (hash->desc >> BR_HASHDESC_ID_OFF) & BR_HASHDESC_ID_MASK;
        br_ssl_engine_set_hash(engine, id, hash);
        br_x509_minimal_set_hash(x509, id, hash);
    }
    br_ssl_engine_set_prf_sha256(engine, &br_tls12_sha256_prf);
    br_ssl_engine_set_prf_sha384(engine, &br_tls12_sha384_prf);

    br_ssl_engine_set_ec(engine, allCurves ? &kEcEngine : &kX25519Engine);
    br_ssl_engine_set_ecdsa(engine, &VerifyServerEcdsa);
    // RSA only ever checks signatures here (the suites all use ECDHE).
    br_ssl_client_set_rsapub(client, &RsaPublic);
    br_ssl_engine_set_rsavrfy(engine, &RsaVerifyPkcs1);
    br_x509_minimal_set_rsa(x509, &RsaVerifyPkcs1);
    br_x509_minimal_set_ecdsa(x509, &kEcEngine, &br_ecdsa_i31_vrfy_asn1);
    br_ssl_engine_set_x509(engine, &x509->vtable);

    br_ssl_engine_set_chacha20(engine, &br_chacha20_ct_run);
    br_ssl_engine_set_poly1305(engine, &br_poly1305_ctmul_run);
    br_ssl_engine_set_chapol(engine, &br_sslrec_in_chapol_vtable, &br_sslrec_out_chapol_vtable);
    br_ssl_engine_set_aes_ctr(engine, &br_aes_ct_ctr_vtable);
    br_ssl_engine_set_ghash(engine, &br_ghash_ctmul32);
    br_ssl_engine_set_gcm(engine, &br_sslrec_in_gcm_vtable, &br_sslrec_out_gcm_vtable);
}

// Howard Hinnant's civil-date algorithms, shifted to BearSSL's epoch:
// 1 January 1970 is day 719528 counted from 1 January of year 0.
uint32_t DaysFromCivil(int year, unsigned month, unsigned day)
{
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<uint32_t>(era * 146097 + static_cast<int>(doe) - 719468 + 719528);
}

void CivilFromDays(uint32_t days, int *year, unsigned *month, unsigned *day)
{
    const long z = static_cast<long>(days) - 719528 + 719468;
    const long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int>(yoe) + static_cast<int>(era) * 400 + (*month <= 2);
}

std::string DateText(uint32_t days)
{
    int year;
    unsigned month, day;
    CivilFromDays(days, &year, &month, &day);
    char text[16];
    const unsigned parts[] = {static_cast<unsigned>(year), month, day};
    const unsigned widths[] = {4, 2, 2};
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (i)
            text[at++] = '-';
        for (unsigned w = widths[i], value = parts[i]; w > 0; --w, value /= 10)
            text[at + w - 1] = static_cast<char>('0' + value % 10);
        at += widths[i];
    }
    return std::string(text, at);
}

uint32_t ValidationDay(uint32_t clockDays, uint32_t buildDays)
{
    return clockDays < buildDays ? buildDays : clockDays;
}
