// The roots the program trusts for https, built in: an old Windows has no
// store of today's roots (or none at all), so the few that issue for most of
// the web are compiled into the .exe. The list and why each is there is
// resources/anchors.txt; the source is generated from Debian's
// ca-certificates at build time by resources/make_anchors.cpp.
#pragma once
#include <stddef.h>
#include <bearssl.h>

extern const br_x509_trust_anchor kBuiltInAnchors[];
extern const size_t kBuiltInAnchorCount;
