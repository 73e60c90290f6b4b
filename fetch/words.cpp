// Kept free of windows.h so that it is unit-tested natively.
#include "fetch/progress_text.h"

#include "net/text.h"

namespace {

const int kSamples = sizeof(RateMeter().ticks) / sizeof(uint32_t);
const uint32_t kSampleSpacingMs = 500;

// Rounded up, so that a started file never shows 0 KB.
std::string Kilobytes(uint32_t bytes)
{
    return DecimalText(bytes / 1024 + (bytes % 1024 != 0)) + " KB";
}

// "0.3 KB/s" on the slowest line, "146 KB/s", "1.2 MB/s" on a fast one.
std::string RateText(uint32_t bytesPerSecond)
{
    const uint32_t tenths = bytesPerSecond / 1024 * 10 + (bytesPerSecond % 1024 * 10 + 512) / 1024;
    if (tenths < 100)
        return DecimalText(tenths / 10) + "." + DecimalText(tenths % 10) + " KB/s";
    if (tenths < 10000)
        return DecimalText(tenths / 10) + " KB/s";
    const uint32_t mbTenths = (tenths + 512) / 1024;
    return DecimalText(mbTenths / 10) + "." + DecimalText(mbTenths % 10) + " MB/s";
}

std::string TimeLeftText(uint32_t seconds)
{
    std::string text;
    if (seconds < 60)
        text = DecimalText(seconds) + " s";
    else if (seconds < 3600)
        text = DecimalText(seconds / 60) + " min" +
               (seconds % 60 ? " " + DecimalText(seconds % 60) + " s" : "");
    else
        text = DecimalText(seconds / 3600) + " h " + DecimalText(seconds % 3600 / 60) + " min";
    return "about " + text + " left";
}

std::string Counts(const std::string &fileName, uint32_t received, uint32_t length)
{
    return fileName + ": " + Kilobytes(received) + (length ? " of " + Kilobytes(length) : "");
}

}  // namespace

void ResetRate(RateMeter *meter)
{
    meter->newest = 0;
    meter->samples = 0;
}

void AddSample(RateMeter *meter, uint32_t tickMs, uint32_t received)
{
    if (meter->samples) {
        if (received < meter->counts[meter->newest])  // the file started over
            ResetRate(meter);
        else if (tickMs - meter->ticks[meter->newest] < kSampleSpacingMs)
            return;
    }
    meter->newest = (meter->newest + 1) % kSamples;
    meter->ticks[meter->newest] = tickMs;
    meter->counts[meter->newest] = received;
    if (meter->samples < kSamples)
        ++meter->samples;
}

uint32_t BytesPerSecond(const RateMeter &meter)
{
    const int oldest = (meter.newest - meter.samples + 1 + kSamples) % kSamples;
    const uint32_t span = meter.ticks[meter.newest] - meter.ticks[oldest];
    if (meter.samples < 2 || span < 1000)
        return 0;
    // In 32 bits: the program avoids the 64-bit helpers of the prebuilt run-time.
    const uint32_t bytes = meter.counts[meter.newest] - meter.counts[oldest];
    return bytes / span * 1000 + bytes % span * 1000 / span;
}

std::string ProgressText(const std::string &fileName, uint32_t received, uint32_t length,
                         uint32_t bytesPerSecond)
{
    std::string text = Counts(fileName, received, length);
    if (bytesPerSecond) {
        text += ", " + RateText(bytesPerSecond);
        const uint32_t left = length > received ? length - received : 0;
        if (left)
            text += ", " + TimeLeftText(left / bytesPerSecond + (left % bytesPerSecond != 0));
    }
    return text;
}

std::string RetryText(const std::string &fileName, uint32_t received, uint32_t length,
                      uint32_t seconds)
{
    return Counts(fileName, received, length) + "; the line dropped, trying again in " +
           DecimalText(seconds) + " s";
}

std::string DoneText(const std::string &fileName, uint32_t received)
{
    return fileName + ": " + Kilobytes(received) + ", done";
}

std::string DurationText(uint32_t seconds)
{
    if (seconds < 90)
        return DecimalText(seconds) + (seconds == 1 ? " second" : " seconds");
    return DecimalText((seconds + 30) / 60) + " minutes";
}

int BarShift(uint32_t length)
{
    return length > 0x7FFFFFFF ? 10 : 0;
}
