#include <gtest/gtest.h>

#include "fetch/resume.h"

TEST(ResumeTest, IfRangeCarriesTheValidatorWhenThereIsOne)
{
    EXPECT_EQ(ResumeHeaders(273762, "\"5d-8a\""), "Range: bytes=273762-\r\nIf-Range: \"5d-8a\"\r\n");
    EXPECT_EQ(ResumeHeaders(1, ""), "Range: bytes=1-\r\n");
}

TEST(ResumeTest, OnlyARangeThatContinuesTheSameFileIsTaken)
{
    const struct {
        const char *contentRange;
        bool continues;
    } cases[] = {
        {"bytes 1000-4999/5000", true},
        {"bytes 1000-1999/5000", true},   // a shorter part still continues
        {"bytes 0-4999/5000", false},     // another start: a splice
        {"bytes 500-4999/5000", false},
        {"bytes 1000-5999/6000", false},  // another length: another file
        {"bytes 1000-4999/*", false},
        {"bytes 1000-999/5000", false},
        {"bytes 1000-5000/5000", false},
        {"bytes -1000-4999/5000", false},
        {"1000-4999/5000", false},
        {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.contentRange);
        EXPECT_EQ(RangeContinues(c.contentRange, 1000, 5000), c.continues);
    }
}
