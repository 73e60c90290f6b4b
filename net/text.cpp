// The program carries no printf family (see app/runtime.cpp), so numbers
// become text here; and the few character tests that both the HTTP reading
// and the proxy settings need.
#include "net/text.h"

std::string DecimalText(uint32_t value)
{
    char digits[11];
    char *first = digits + sizeof digits;
    do {
        *--first = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    return std::string(first, digits + sizeof digits);
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

char LowerCase(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Trimmed(const std::string &text)
{
    const size_t first = text.find_first_not_of(" \t");
    return first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t") - first + 1);
}
