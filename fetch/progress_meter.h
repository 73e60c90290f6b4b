// What the progress window measures, from byte counts and clock ticks alone;
// its words are in fetch/words.h.
#pragma once
#include <stdint.h>

// The rate of the last several seconds, from samples of the byte count.
struct RateMeter {
    uint32_t ticks[11], counts[11];  // a sample every half second at most
    int newest, samples;
};

void ResetRate(RateMeter *meter);
void AddSample(RateMeter *meter, uint32_t tickMs, uint32_t received);
// Bytes a second over the samples, or 0 until a second has been measured.
uint32_t BytesPerSecond(const RateMeter &meter);

// How far to shift byte counts right so that the bar's signed 32-bit range
// holds the length: beyond 2 GiB the bar counts kilobytes.
int BarShift(uint32_t length);
