// Byte-sum checksum of a file, as unsigned decimal text.
#pragma once
#include <string>

std::string ComputeChecksum(const std::string &path);
