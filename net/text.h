// Small pieces of text handling, for every unit that builds a message or a
// header or reads one.
#pragma once
#include <stdint.h>

#include <string>

// A number as "%u" would print it, without the printf family.
std::string DecimalText(uint32_t value);

bool IsDigit(char c);
// ASCII only: headers, host names and settings, never the user's own words.
char LowerCase(char c);
// Without the spaces and tabs at either end.
std::string Trimmed(const std::string &text);
