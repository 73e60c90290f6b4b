// The program's own RSA public operation against BearSSL's constant-time
// one, on moduli of every length and on numbers made of the words that
// drive long division into its rare corrections.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "net/rsa_public.h"

namespace {

typedef std::vector<unsigned char> Bytes;

// Big-endian numbers whose 32-bit words are mostly 0, 1, 0x7FFFFFFF,
// 0x80000000 or 0xFFFFFFFF: quotient estimates one or two too big, and
// add-backs, come up far more often than with random words.
Bytes Awkward(std::mt19937 &random, size_t length)
{
    static const uint32_t kWords[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 0xFFFFFFFE};
    Bytes n(length);
    for (size_t i = 0; i < length; i += 4) {
        const uint32_t w = random() % 3 ? kWords[random() % 6] : uint32_t(random());
        for (size_t k = 0; k < 4 && i + k < length; ++k)
            n[length - 1 - i - k] = static_cast<unsigned char>(w >> (8 * k));
    }
    return n;
}

Bytes Random(std::mt19937 &random, size_t length)
{
    Bytes n(length);
    for (unsigned char &b : n)
        b = static_cast<unsigned char>(random());
    return n;
}

struct Outcome {
    uint32_t ok;
    Bytes x;
};

Outcome Public(uint32_t (*operation)(unsigned char *, size_t, const br_rsa_public_key *),
               Bytes n, Bytes e, Bytes x)
{
    br_rsa_public_key key = {n.data(), n.size(), e.data(), e.size()};
    Outcome outcome = {operation(x.data(), x.size(), &key), x};
    if (!outcome.ok)
        outcome.x.clear();  // what is left there means nothing
    return outcome;
}

TEST(RsaPublic, AgreesWithBearSslOnEveryLengthAndAwkwardNumbers)
{
    std::mt19937 random(20261208);
    const size_t kLengths[] = {8, 9, 31, 64, 127, 128, 129, 255, 256, 257, 383, 384, 511, 512};
    const Bytes kExponents[] = {{1, 0, 1}, {3}, {0, 0, 1, 0, 1}, {1}};
    int compared = 0, refused = 0;
    for (int round = 0; round < 60; ++round)
        for (size_t length : kLengths) {
            Bytes n = round % 2 ? Awkward(random, length) : Random(random, length);
            n[0] |= round % 3 ? 0x80 : 0x01;  // a full top byte, or a nearly empty one
            if (round % 17 != 5)  // else it may be even, which both refuse
                n[length - 1] |= 1;
            Bytes x = round % 2 ? Awkward(random, length) : Random(random, length);
            x[0] &= round % 11 ? 0x7F : 0xFF;  // now and then at or above n
            if (round == 0)
                x = n, x[length - 1] -= 1;  // n - 1 (n odd)
            Bytes e = round < 8 ? kExponents[round % 4] : Random(random, 1 + random() % 8);
            e.back() |= 1;  // an exponent of 0 is no key; only BearSSL takes it
            const Outcome ours = Public(RsaPublic, n, e, x);
            const Outcome theirs = Public(br_rsa_i31_public, n, e, x);
            ASSERT_EQ(theirs.ok, ours.ok) << "length " << length << ", round " << round;
            ASSERT_EQ(theirs.x, ours.x) << "length " << length << ", round " << round;
            ++(ours.ok ? compared : refused);
        }
    EXPECT_GT(compared, 600);  // the rows above must not all be refused
    EXPECT_GT(refused, 50);
}

TEST(RsaPublic, RefusesWhatItCannotTake)
{
    Bytes n(513, 0xFF), e = {1, 0, 1}, x(513, 0x01);
    EXPECT_EQ(0u, Public(RsaPublic, n, e, x).ok) << "beyond 4096 bits";
    n.assign(256, 0xFF);
    x.assign(255, 0x01);
    EXPECT_EQ(0u, Public(RsaPublic, n, e, x).ok) << "x shorter than n";
    x.assign(256, 0x01);
    EXPECT_EQ(0u, Public(RsaPublic, n, Bytes{0, 0}, x).ok) << "an exponent of nothing";
    // Leading zero bytes of the modulus do not count toward its length.
    Bytes padded(2, 0);
    padded.insert(padded.end(), n.begin(), n.end());
    EXPECT_EQ(Public(br_rsa_i31_public, n, e, x).x, Public(RsaPublic, padded, e, x).x);
}

// A signature BearSSL makes with a fresh key passes; any bit changed fails.
TEST(RsaPublic, ChecksPkcs1Signatures)
{
    br_hmac_drbg_context drbg;
    br_hmac_drbg_init(&drbg, &br_sha256_vtable, "seed", 4);
    unsigned char secretBuffer[BR_RSA_KBUF_PRIV_SIZE(2048)], publicBuffer[BR_RSA_KBUF_PUB_SIZE(2048)];
    br_rsa_private_key secret;
    br_rsa_public_key key;
    ASSERT_TRUE(br_rsa_i31_keygen(&drbg.vtable, &secret, secretBuffer, &key, publicBuffer, 2048,
                                  65537));
    const unsigned char hash[32] = {1, 2, 3, 4, 5};
    unsigned char signature[256], signedHash[64];
    ASSERT_TRUE(br_rsa_i31_pkcs1_sign(BR_HASH_OID_SHA256, hash, sizeof hash, &secret, signature));

    ASSERT_EQ(1u, RsaVerifyPkcs1(signature, sizeof signature, BR_HASH_OID_SHA256, sizeof hash,
                                 &key, signedHash));
    EXPECT_EQ(0, memcmp(hash, signedHash, sizeof hash));
    EXPECT_EQ(0u, RsaVerifyPkcs1(signature, sizeof signature, BR_HASH_OID_SHA384, 48, &key,
                                 signedHash))
        << "signed as SHA-256";
    for (size_t i = 0; i < sizeof signature; i += 37) {
        signature[i] ^= 0x10;
        EXPECT_EQ(0u, RsaVerifyPkcs1(signature, sizeof signature, BR_HASH_OID_SHA256,
                                     sizeof hash, &key, signedHash))
            << "byte " << i << " changed";
        signature[i] ^= 0x10;
    }
}

}  // namespace
