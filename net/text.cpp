// The program carries no printf family (see app/runtime.cpp), so numbers
// become text here.
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
