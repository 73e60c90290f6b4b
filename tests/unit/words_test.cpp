#include <gtest/gtest.h>

#include "fetch/words.h"

TEST(WordsTest, CountsRateAndTimeLeftAsFarAsKnown)
{
    const struct {
        uint32_t received, length, rate;
        const char *text;
    } cases[] = {
        {120 * 1024, 540 * 1024, 0, "7z920.zip: 120 KB of 540 KB"},
        {1, 0, 0, "7z920.zip: 1 KB"},  // KB rounded up
        {0, 1025, 0, "7z920.zip: 0 KB of 2 KB"},
        {120 * 1024, 538 * 1024, 4915, "7z920.zip: 120 KB of 538 KB, 4.8 KB/s, about 1 min 28 s left"},
        {120 * 1024, 0, 300, "7z920.zip: 120 KB, 0.3 KB/s"},
        {1 << 20, 2 << 20, 150000, "7z920.zip: 1024 KB of 2048 KB, 146 KB/s, about 7 s left"},
        {0, 1200 << 20, 1200 << 10, "7z920.zip: 0 KB of 1228800 KB, 1.2 MB/s, about 17 min 4 s left"},
        {0, 30 << 20, 1024, "7z920.zip: 0 KB of 30720 KB, 1.0 KB/s, about 8 h 32 min left"},
        {540 * 1024, 540 * 1024, 900, "7z920.zip: 540 KB of 540 KB, 0.9 KB/s"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(ProgressText("7z920.zip", c.received, c.length, c.rate), c.text);
    EXPECT_EQ(RetryText("7z920.zip", 240 * 1024, 540 * 1024, 8),
              "7z920.zip: 240 KB of 540 KB; the line dropped, trying again in 8 s");
}
