// The table of contents of a zip archive, read from its central directory.
#pragma once
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

struct ZipMember {
    std::string name;    // as stored in the directory, with '\' turned into '/'
    std::string path;    // where it lands under the target folder: '\' separators,
                         // "." and empty parts dropped, no trailing separator, "."
                         // for the folder itself; "" when the name is unsafe
                         // (absolute, drive or stream, "..", a device name, a
                         // character Windows does not allow)
    bool isFolder;       // the name ends in '/'
    uint16_t flags, method;
    uint32_t crc, compressedSize, size, localOffset;  // as recorded
};

struct ZipDirectory {
    bool ok;
    std::string why;                 // when !ok, e.g. "no end of central directory"
    std::vector<ZipMember> members;  // in directory order
    uint32_t dataShift;              // bytes found in front of the archive (a stub)
    uint32_t directoryStart;         // where the central directory really starts
};

ZipDirectory ReadZipDirectory(const std::string &archivePath);
// CRC-32 as zip and zlib compute it; start with crc 0, feed blocks in order.
uint32_t Crc32(uint32_t crc, const void *data, size_t size);
