// Where a member of a zip archive lands on Windows; not in the native
// library, since it asks Windows for the code pages.
#pragma once
#include <string>

#include "fetch/zip_directory.h"

// The member's path as an extractor on Windows writes it, its OEM
// characters turned into ANSI ones.
std::string MemberPathAsWritten(const ZipMember &m);
