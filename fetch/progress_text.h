// What the progress window shows, from byte counts alone.
#pragma once
#include <stdint.h>

#include <string>

// "7z920.zip: 120 KB of 540 KB", or "7z920.zip: 120 KB" when the length is
// unknown (0).
std::string ProgressText(const std::string &fileName, uint32_t received, uint32_t length);
// "7z920.zip: 540 KB, done".
std::string DoneText(const std::string &fileName, uint32_t received);
// How far to shift byte counts right so that the bar's signed 32-bit range
// holds the length: beyond 2 GiB the bar counts kilobytes.
int BarShift(uint32_t length);
