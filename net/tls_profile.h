// What the program's own TLS client speaks, apart from any socket: TLS 1.2
// only, ECDHE with ChaCha20-Poly1305 or AES-GCM, on x25519, P-256 and P-384,
// with engines that suit an i486 (no CPUID, AES-NI, PCLMUL or SSE2 paths).
// No windows.h, so the same set-up is measured natively for an i486.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>

#include <bearssl.h>

// Fills a zeroed client and its X.509 validator; the anchors must outlive
// both. The validation date is set separately (SetValidationDate).
// BearSSL 0.6 lists the curves of its ClientHello by rising id, P-256
// before x25519, whatever it meant to; a server that follows the client's
// order then takes P-256, 9 M instructions dearer on a 486. So a first
// offer names x25519 alone, and only a server that refuses it is offered
// all three (allCurves).
void SetUpTlsClient(br_ssl_client_context *client, br_x509_minimal_context *x509,
                    const br_x509_trust_anchor *anchors, size_t anchorCount, bool allCurves);

// Days since 1 January of year 0 (proleptic Gregorian), as BearSSL counts.
uint32_t DaysFromCivil(int year, unsigned month, unsigned day);
void CivilFromDays(uint32_t days, int *year, unsigned *month, unsigned *day);
// "2026-12-08".
std::string DateText(uint32_t days);

// The date certificates are checked against: the clock's, unless it reads
// earlier than the day the program was built, which no correct clock can
// (a flat CMOS battery reads 1980 or 1999).
uint32_t ValidationDay(uint32_t clockDays, uint32_t buildDays);
