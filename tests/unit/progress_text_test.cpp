#include <gtest/gtest.h>

#include "fetch/progress_text.h"

TEST(ProgressTextTest, KilobytesRoundedUpWithTheLengthWhenKnown)
{
    EXPECT_EQ(ProgressText("7z920.zip", 120 * 1024, 540 * 1024), "7z920.zip: 120 KB of 540 KB");
    EXPECT_EQ(ProgressText("7z920.zip", 1, 0), "7z920.zip: 1 KB");
    EXPECT_EQ(ProgressText("a.zip", 0, 1025), "a.zip: 0 KB of 2 KB");
}

TEST(ProgressTextTest, BarRangeFitsASigned32BitNumber)
{
    for (uint32_t length : {1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(length);
        EXPECT_LE(length >> BarShift(length), 0x7FFFFFFFu);
        EXPECT_GE(length >> BarShift(length), length / 1024);  // no coarser than kilobytes
    }
}
