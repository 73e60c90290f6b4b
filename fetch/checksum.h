// Byte-sum checksum of a file, as unsigned decimal text.
#pragma once
#include <stdint.h>

#include <string>

std::string ComputeChecksum(const std::string &path);
// A number as "%u" would print it, without the printf family.
std::string DecimalText(uint32_t value);
