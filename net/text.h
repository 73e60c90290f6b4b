// Numbers as text, for every unit that builds a message or a header.
#pragma once
#include <stdint.h>

#include <string>

// A number as "%u" would print it, without the printf family.
std::string DecimalText(uint32_t value);
