// Certificates an operator puts beside the program, to be trusted like the
// built-in roots: a LAN server's own CA, or a root that came after the
// build. A file holds one or more certificates, PEM or DER. No windows.h,
// so the reader is tested and fuzzed natively.
#pragma once
#include <stddef.h>

#include <memory>
#include <string>
#include <vector>

#include <bearssl.h>

// Trust anchors and the bytes they point into.
struct AnchorStore {
    std::vector<br_x509_trust_anchor> anchors;
    std::vector<std::unique_ptr<unsigned char[]>> bytes;
};

// Adds every certificate of a file's contents; how many it found. A file
// that is not a certificate adds none.
size_t AddAnchorsFrom(const std::string &contents, AnchorStore *store);
