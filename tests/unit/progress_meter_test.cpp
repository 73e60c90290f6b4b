#include <gtest/gtest.h>

#include "fetch/progress_meter.h"

TEST(ProgressMeterTest, RateOverTheLastFewSecondsAndAfreshWhenTheFileStartsOver)
{
    RateMeter meter;
    ResetRate(&meter);
    AddSample(&meter, 1000, 0);
    EXPECT_EQ(BytesPerSecond(meter), 0u);  // nothing measured yet
    for (uint32_t t = 1250; t <= 3000; t += 250)
        AddSample(&meter, t, (t - 1000) * 10);  // 10 KB/s, sampled 4 times a second
    EXPECT_EQ(BytesPerSecond(meter), 10000u);
    for (uint32_t t = 3500; t <= 20000; t += 500)
        AddSample(&meter, t, 20000 + (t - 3000));  // then 1 KB/s
    EXPECT_EQ(BytesPerSecond(meter), 1000u);    // the old rate has left the window
    AddSample(&meter, 20500, 100);              // started over from 0
    EXPECT_EQ(BytesPerSecond(meter), 0u);
}

TEST(ProgressMeterTest, BarRangeFitsASigned32BitNumber)
{
    for (uint32_t length : {1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        EXPECT_LE(length >> BarShift(length), 0x7FFFFFFFu);
        EXPECT_GE(length >> BarShift(length), length / 1024);  // no coarser than kilobytes
    }
}
