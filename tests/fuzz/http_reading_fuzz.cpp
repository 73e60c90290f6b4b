// Whatever a server or a link sends: heads, chunked bodies and redirects
// must never overrun, and must read the same however the bytes arrive.
#include <stdlib.h>

#include <string>
#include <vector>

#include "net/http_reading.h"

namespace {

void Check(bool condition)
{
    if (!condition)
        abort();
}

void FuzzHead(const char *data, size_t size)
{
    HttpHead head;
    size_t used = 0;
    const HeadState state = ReadHead(data, size, &head, &used);
    Check(state != kHeadComplete || (used <= size && used <= kMaxHeadSize && head.status >= 200));
    Check(state != kHeadIncomplete || size <= kMaxHeadSize);
    // A complete head reads the same with or without what follows it.
    if (state == kHeadComplete) {
        HttpHead again;
        size_t usedAgain = 0;
        Check(ReadHead(data, used, &again, &usedAgain) == kHeadComplete && usedAgain == used &&
              again.status == head.status && again.length == head.length && again.location == head.location);
        Check(ReadHead(data, used - 1, &again, &usedAgain) == kHeadIncomplete);
    }
}

// Pieces in buffers of their exact size, so that any read past one is caught.
ChunkState DecodeAt(const std::string &raw, size_t split, std::string *body)
{
    ChunkDecoder decoder;
    ChunkState state = kChunkMore;
    body->clear();
    for (const std::string &piece : {raw.substr(0, split), raw.substr(split)}) {
        std::vector<char> bytes(piece.begin(), piece.end());
        size_t size = 0;
        state = DecodeChunks(&decoder, bytes.data(), bytes.size(), &size);
        Check(size <= bytes.size());
        body->append(bytes.data(), size);
        if (state != kChunkMore)
            break;
    }
    return state;
}

void FuzzChunks(const std::string &raw, unsigned char seed)
{
    std::string whole, split;
    const ChunkState state = DecodeAt(raw, raw.size(), &whole);
    Check(DecodeAt(raw, raw.empty() ? 0 : seed * 7919u % raw.size(), &split) == state);
    Check(split == whole);
}

void FuzzRedirect(const std::string &text)
{
    const size_t newline = text.find('\n');
    const std::string base = text.substr(0, newline);
    const std::string location = newline == std::string::npos ? "" : text.substr(newline + 1);
    HttpUrl parts;
    if (SplitUrl(base, &parts))
        Check(!parts.host.empty() && parts.port != 0 && parts.path[0] == '/' &&
              GetRequest(parts, "").find("\r\n\r\n") + 4 == GetRequest(parts, "").size());
    const std::string target = RedirectTarget(base, location);
    Check(target.empty() || SplitUrl(target, &parts));
}

}  // namespace

// The first byte picks where the rest is split; the rest is read as all
// three kinds of text in turn.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    FuzzHead(reinterpret_cast<const char *>(data) + 1, size - 1);
    FuzzChunks(text, data[0]);
    FuzzRedirect(text);
    return 0;
}
