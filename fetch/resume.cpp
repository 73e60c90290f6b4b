// Kept free of windows.h so that it is unit-tested natively.
#include "fetch/resume.h"

#include "net/text.h"

namespace {

// Reads the decimal number at *text and moves past it; false if none.
bool ReadNumber(const char **text, uint32_t *value)
{
    const char *digit = *text;
    uint32_t number = 0;
    for (; *digit >= '0' && *digit <= '9'; ++digit) {
        const uint32_t add = *digit - '0';
        if (number > (0xFFFFFFFFu - add) / 10)
            return false;
        number = number * 10 + add;
    }
    if (digit == *text)
        return false;
    *value = number;
    *text = digit;
    return true;
}

}  // namespace

std::string ResumeHeaders(uint32_t offset, const std::string &validator)
{
    std::string headers = "Range: bytes=" + DecimalText(offset) + "-\r\n";
    if (!validator.empty())
        headers += "If-Range: " + validator + "\r\n";
    return headers;
}

bool RangeContinues(const std::string &contentRange, uint32_t offset, uint32_t length)
{
    if (contentRange.compare(0, 6, "bytes ") != 0)
        return false;
    const char *text = contentRange.c_str() + 6;
    uint32_t first, last, total;
    if (!ReadNumber(&text, &first) || *text++ != '-' || !ReadNumber(&text, &last) ||
        *text++ != '/' || !ReadNumber(&text, &total) || *text)
        return false;
    return first == offset && total == length && first <= last && last < total;
}

uint32_t RetryPauseSeconds(int fruitless)
{
    static const uint32_t kPauses[] = {0, 2, 4, 8, 15, 30};
    const int last = sizeof kPauses / sizeof kPauses[0] - 1;
    return kPauses[fruitless < 0 ? 0 : fruitless > last ? last : fruitless];
}
