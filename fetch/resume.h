// What a resumed download asks for and what it accepts, and how long it
// waits before asking again: from text and numbers alone.
#pragma once
#include <stdint.h>

#include <string>

// The headers of a request that resumes at offset: the Range and, with a
// validator of the first answer (its ETag, else its Last-Modified), an
// If-Range, so that a file changed on the server comes whole, never as a
// tail to splice onto the old start.
std::string ResumeHeaders(uint32_t offset, const std::string &validator);
// Whether a 206 answer's Content-Range ("bytes 1000-4999/5000") starts at
// offset within the file of the known length.
bool RangeContinues(const std::string &contentRange, uint32_t offset, uint32_t length);
// Seconds to wait before the next attempt, after the given number of
// attempts in a row that brought nothing: none after one that brought
// bytes, then 2, 4, 8, 15 and 30, long enough for a dial-up line to redial.
uint32_t RetryPauseSeconds(int fruitless);
