// Kept free of windows.h so that it is unit-tested natively.
#include "fetch/progress_meter.h"

namespace {

const int kSamples = sizeof(RateMeter().ticks) / sizeof(uint32_t);
const uint32_t kSampleSpacingMs = 500;

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

int BarShift(uint32_t length)
{
    return length > 0x7FFFFFFF ? 10 : 0;
}
