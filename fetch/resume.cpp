// Kept free of windows.h so that it is unit-tested natively.
#include "fetch/resume.h"

#include <stdlib.h>
#include <string.h>

#include "fetch/text.h"

namespace {

// Reads the decimal number at *text and moves past it; false if none.
bool ReadNumber(const char **text, uint32_t *value)
{
    const char *start = *text;
    char *end = NULL;
    const unsigned long number = strtoul(start, &end, 10);
    if (end == start || *start < '0' || *start > '9' || number > 0xFFFFFFFFul)
        return false;
    *value = static_cast<uint32_t>(number);
    *text = end;
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
    const char *text = contentRange.c_str();
    if (strncmp(text, "bytes ", 6) != 0)
        return false;
    text += 6;
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
