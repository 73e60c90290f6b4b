// Kept free of windows.h so that it is unit-tested natively.
#include "fetch/progress_text.h"

#include "fetch/checksum.h"

namespace {

// Rounded up, so that a started file never shows 0 KB.
std::string Kilobytes(uint32_t bytes)
{
    return DecimalText(bytes / 1024 + (bytes % 1024 != 0)) + " KB";
}

}  // namespace

std::string ProgressText(const std::string &fileName, uint32_t received, uint32_t length)
{
    return fileName + ": " + Kilobytes(received) + (length ? " of " + Kilobytes(length) : "");
}

std::string DoneText(const std::string &fileName, uint32_t received)
{
    return fileName + ": " + Kilobytes(received) + ", done";
}

int BarShift(uint32_t length)
{
    return length > 0x7FFFFFFF ? 10 : 0;
}
