// A public-key operation handles nothing secret, so it need not take the
// same time whatever its numbers. BearSSL's engines do, and pay for it:
// their Montgomery arithmetic on 31-bit words, with its conversions in and
// out, makes the RSA-4096 verify at the top of a common chain the dearest
// step of a 486's handshake. Schoolbook products of 32-bit words reduced by
// long division (Knuth's algorithm D) take about a quarter of that.
#include "net/rsa_public.h"

#include <string.h>

extern "C" uint32_t br_rsa_pkcs1_sig_unpad(const unsigned char *sig, size_t sig_len,
                                           const unsigned char *hash_oid, size_t hash_len,
                                           unsigned char *hash_out);

namespace {

typedef uint32_t Word;
const size_t kMaxWords = 4096 / 32;

// Big-endian bytes into little-endian words, and back.
void Decode(Word *w, size_t words, const unsigned char *bytes, size_t length)
{
    memset(w, 0, words * sizeof *w);
    for (size_t i = 0; i < length; ++i) {
        const size_t bit = (length - 1 - i) * 8;
        w[bit / 32] |= Word(bytes[i]) << (bit % 32);
    }
}

void Encode(unsigned char *bytes, size_t length, const Word *w)
{
    for (size_t i = 0; i < length; ++i) {
        const size_t bit = (length - 1 - i) * 8;
        bytes[i] = static_cast<unsigned char>(w[bit / 32] >> (bit % 32));
    }
}

bool Below(const Word *a, const Word *b, size_t words)
{
    for (size_t i = words; i-- > 0;)
        if (a[i] != b[i])
            return a[i] < b[i];
    return false;
}

int LeadingZeros(Word w)
{
    int n = 0;
    for (; !(w & 0x80000000u); w <<= 1)
        ++n;
    return n;
}

// shift is below 32; what leaves the top word is lost.
void ShiftLeft(Word *w, size_t words, int shift)
{
    if (shift == 0)
        return;
    for (size_t i = words - 1; i > 0; --i)
        w[i] = w[i] << shift | w[i - 1] >> (32 - shift);
    w[0] <<= shift;
}

void ShiftRight(Word *to, const Word *from, size_t words, int shift)
{
    for (size_t i = 0; i < words; ++i)
        to[i] = shift == 0 ? from[i]
                           : from[i] >> shift | (i + 1 < words ? from[i + 1] << (32 - shift) : 0);
}

// (high:low) / d, where high < d, so the quotient fits in a word.
inline Word DivideWide(Word high, Word low, Word d, Word *remainder)
{
#if defined(__i386__)
    // One DIV, where the compiler would call a 64-bit division routine.
    Word quotient;
    __asm__("divl %4" : "=a"(quotient), "=d"(*remainder) : "a"(low), "d"(high), "rm"(d));
    return quotient;
#else
    const uint64_t wide = uint64_t(high) << 32 | low;
    *remainder = Word(wide % d);
    return Word(wide / d);
#endif
}

// The inner loops, each on its own: a 486 has few registers to keep them in.
// r += a * m over words words; the word carried out.
Word AddProduct(Word *r, const Word *a, size_t words, Word m)
{
    Word carry = 0;
    for (size_t i = 0; i < words; ++i) {
        const uint64_t t = uint64_t(a[i]) * m + r[i] + carry;
        r[i] = Word(t);
        carry = Word(t >> 32);
    }
    return carry;
}

// r -= a * m over words words; the word borrowed beyond them.
Word SubtractProduct(Word *r, const Word *a, size_t words, Word m)
{
    Word carry = 0;
    for (size_t i = 0; i < words; ++i) {
        const uint64_t p = uint64_t(a[i]) * m + carry;
        const Word low = Word(p);
        carry = Word(p >> 32) + (r[i] < low);  // cannot wrap: a high word of B - 1 has low 0
        r[i] -= low;
    }
    return carry;
}

// r += a over words words; the carry out.
Word Add(Word *r, const Word *a, size_t words)
{
    Word carry = 0;
    for (size_t i = 0; i < words; ++i) {
        const uint64_t t = uint64_t(r[i]) + a[i] + carry;
        r[i] = Word(t);
        carry = Word(t >> 32);
    }
    return carry;
}

// product (2 * words words) = a * b.
void Multiply(Word *product, const Word *a, const Word *b, size_t words)
{
    memset(product, 0, words * sizeof *product);
    for (size_t i = 0; i < words; ++i)
        product[i + words] = AddProduct(product + i, b, words, a[i]);
}

// u (length + 1 words, the last 0) becomes u mod v in its first words words.
// v has words >= 2 words and its top bit set, as the estimate of each
// quotient word needs (Knuth, TAOCP vol. 2, 4.3.1, algorithm D).
void Reduce(Word *u, size_t length, const Word *v, size_t words)
{
    const Word top = v[words - 1], next = v[words - 2];
    for (size_t j = length - words + 1; j-- > 0;) {
        Word *window = u + j;  // words + 1 words, below v * 2^32
        Word q, r;
        bool rOverflows = false;
        if (window[words] >= top) {  // the estimate would not fit a word
            q = ~Word(0);
            r = window[words - 1] + top;  // (window[words] == top)
            rOverflows = r < top;
        } else {
            q = DivideWide(window[words], window[words - 1], top, &r);
        }
        // The estimate is at most two too big; the next word tells almost always.
        while (!rOverflows && uint64_t(q) * next > (uint64_t(r) << 32 | window[words - 2])) {
            --q;
            r += top;
            rOverflows = r < top;
        }
        const Word borrow = SubtractProduct(window, v, words, q);
        const bool negative = window[words] < borrow;
        window[words] -= borrow;
        if (negative)  // q was one too big
            window[words] += Add(window, v, words);
    }
}

struct Modulus {
    Word shifted[kMaxWords];  // n moved up to fill its top word
    size_t words;
    int shift;
};

// into = a * b mod n; into may be a or b.
void MultiplyMod(Word *into, const Word *a, const Word *b, const Modulus &n)
{
    Word wide[2 * kMaxWords + 1];
    Multiply(wide, a, b, n.words);
    wide[2 * n.words] = 0;
    ShiftLeft(wide, 2 * n.words, n.shift);  // a * b < n * n leaves room for it
    Reduce(wide, 2 * n.words, n.shifted, n.words);
    ShiftRight(into, wide, n.words, n.shift);
}

}  // namespace

uint32_t RsaPublic(unsigned char *x, size_t xlen, const br_rsa_public_key *key)
{
    const unsigned char *n = key->n, *e = key->e;
    size_t nlen = key->nlen, elen = key->elen;
    for (; nlen > 0 && *n == 0; --nlen)
        ++n;
    for (; elen > 0 && *e == 0; --elen)
        ++e;
    if (nlen < 8 || nlen > kMaxWords * 4 || xlen != nlen || !(n[nlen - 1] & 1) || elen == 0)
        return 0;
    Modulus modulus;
    modulus.words = (nlen + 3) / 4;
    Word plain[kMaxWords], base[kMaxWords], power[kMaxWords];
    Decode(plain, modulus.words, n, nlen);
    Decode(base, modulus.words, x, xlen);
    if (!Below(base, plain, modulus.words))
        return 0;
    modulus.shift = LeadingZeros(plain[modulus.words - 1]);
    memcpy(modulus.shifted, plain, modulus.words * sizeof(Word));
    ShiftLeft(modulus.shifted, modulus.words, modulus.shift);

    // Left to right through the exponent, from below its top bit.
    memcpy(power, base, modulus.words * sizeof(Word));
    bool started = false;
    for (size_t i = 0; i < elen; ++i)
        for (int bit = 7; bit >= 0; --bit) {
            const bool set = (e[i] >> bit) & 1;
            if (started) {
                MultiplyMod(power, power, power, modulus);
                if (set)
                    MultiplyMod(power, power, base, modulus);
            }
            started = started || set;
        }
    Encode(x, xlen, power);
    return 1;
}

uint32_t RsaVerifyPkcs1(const unsigned char *x, size_t xlen, const unsigned char *hashOid,
                        size_t hashLen, const br_rsa_public_key *key, unsigned char *hashOut)
{
    unsigned char signature[kMaxWords * 4];
    if (xlen > sizeof signature)
        return 0;
    memcpy(signature, x, xlen);
    if (!RsaPublic(signature, xlen, key))
        return 0;
    return br_rsa_pkcs1_sig_unpad(signature, xlen, hashOid, hashLen, hashOut);
}
