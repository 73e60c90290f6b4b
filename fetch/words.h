// What the progress window shows, from byte counts and clock ticks alone.
#pragma once
#include <stdint.h>

#include <string>

// The rate of the last several seconds, from samples of the byte count.
struct RateMeter {
    uint32_t ticks[11], counts[11];  // a sample every half second at most
    int newest, samples;
};

void ResetRate(RateMeter *meter);
void AddSample(RateMeter *meter, uint32_t tickMs, uint32_t received);
// Bytes a second over the samples, or 0 until a second has been measured.
uint32_t BytesPerSecond(const RateMeter &meter);

// "7z920.zip: 120 KB of 540 KB, 4.8 KB/s, about 1 min 27 s left"; without
// a rate (0) or a length (0) the parts that need them are left out.
std::string ProgressText(const std::string &fileName, uint32_t received, uint32_t length,
                         uint32_t bytesPerSecond = 0);
// "7z920.zip: 240 KB of 540 KB; the line dropped, trying again in 8 s".
std::string RetryText(const std::string &fileName, uint32_t received, uint32_t length,
                      uint32_t seconds);
// "7z920.zip: 540 KB, done".
std::string DoneText(const std::string &fileName, uint32_t received);
// "45 seconds", "2 minutes": how long a line has been tried.
std::string DurationText(uint32_t seconds);
// How far to shift byte counts right so that the bar's signed 32-bit range
// holds the length: beyond 2 GiB the bar counts kilobytes.
int BarShift(uint32_t length);
