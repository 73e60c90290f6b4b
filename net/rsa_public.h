// RSA with the public key alone, as checking a signature needs it: the
// certificates of the chain and the server's key exchange.
#pragma once
#include <bearssl.h>

// x (xlen bytes, big-endian) becomes x^e mod n in place. 0, with x left
// as it may be, when x is not below n, its length is not the modulus's,
// or the key is even, empty or beyond 4096 bits.
uint32_t RsaPublic(unsigned char *x, size_t xlen, const br_rsa_public_key *key);

// A PKCS#1 v1.5 signature check by RsaPublic, in BearSSL's shape
// (br_rsa_pkcs1_vrfy): 1, with the signed hash in hashOut, when the
// padding and the hash's OID are right.
uint32_t RsaVerifyPkcs1(const unsigned char *x, size_t xlen, const unsigned char *hashOid,
                        size_t hashLen, const br_rsa_public_key *key, unsigned char *hashOut);
