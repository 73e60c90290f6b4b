// Whatever a server or a link sends: heads, chunked bodies and redirects
// must never overrun, and must read the same however the bytes arrive.
#include <stdlib.h>

#include <algorithm>
#include <string>
#include <vector>

#include "net/http_reading.h"

#define CHECK(condition) ((condition) ? (void)0 : abort())

namespace {

void FuzzHead(const char *data, size_t size)
{
    HttpHead head, again;
    size_t used = 0, usedAgain = 0;
    const HeadState state = ReadHead(data, size, &head, &used);
    CHECK(state != kHeadIncomplete || size <= kMaxHeadSize);
    if (state != kHeadComplete)
        return;
    // Complete the moment its blank line is in, and the same without what follows.
    CHECK(used <= size && used <= kMaxHeadSize && head.status >= 200);
    CHECK(ReadHead(data, used - 1, &again, &usedAgain) == kHeadIncomplete);
    CHECK(ReadHead(data, used, &again, &usedAgain) == kHeadComplete && usedAgain == used &&
          again.status == head.status && again.length == head.length && again.location == head.location);
}

// Two pieces in buffers of their exact size, so that a read past either is caught.
ChunkState DecodeSplit(const std::string &raw, size_t split, std::string *body)
{
    ChunkDecoder decoder;
    ChunkState state = kChunkMore;
    for (const std::string &piece : {raw.substr(0, split), raw.substr(split)}) {
        std::vector<char> bytes(piece.begin(), piece.end());
        size_t size = 0;
        state = DecodeChunks(&decoder, bytes.data(), bytes.size(), &size);
        CHECK(size <= bytes.size());
        body->append(bytes.data(), size);
        if (state != kChunkMore)
            break;
    }
    return state;
}

void FuzzRedirect(const std::string &text)
{
    const size_t newline = text.find('\n');
    const std::string base = text.substr(0, newline);
    const std::string location = newline == std::string::npos ? "" : text.substr(newline + 1);
    HttpUrl parts;
    // No URL may add a line to the request: four and the blank one.
    if (SplitUrl(base, &parts)) {
        const std::string request = GetRequest(parts, "");
        CHECK(std::count(request.begin(), request.end(), '\n') == 5);
    }
    const std::string target = RedirectTarget(base, location);
    CHECK(target.empty() || SplitUrl(target, &parts));
}

}  // namespace

// The first byte picks where the rest is split; the rest is read as each kind of text.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    FuzzHead(reinterpret_cast<const char *>(data) + 1, size - 1);
    std::string whole, split;
    const ChunkState state = DecodeSplit(text, text.size(), &whole);
    CHECK(DecodeSplit(text, text.empty() ? 0 : data[0] * 7919u % text.size(), &split) == state);
    CHECK(split == whole);
    FuzzRedirect(text);
    return 0;
}
