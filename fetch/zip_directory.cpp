// The table of contents of a zip archive. The stand-in extractor extracts by
// it and the program checks an extraction against it, so both agree on which
// members there are and where each one lands. It goes into the i486 program:
// C stdio only, no exceptions, no streams, no printf family.
#include "fetch/zip_directory.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "net/text.h"

namespace {

const uint32_t kCentralSig = 0x02014b50;
const uint32_t kEndSig = 0x06054b50;
const uint32_t kZip64LocatorSig = 0x07064b50;
const uint32_t kZip64LocatorSize = 20;
const uint32_t kCentralHeaderSize = 46;
const uint32_t kEndRecordSize = 22;
const uint32_t kMaxCommentSize = 0xFFFF;
const uint32_t kZip64Marker = 0xFFFFFFFF;

struct EndRecord {
    uint32_t position;  // in the file
    uint16_t disk, directoryDisk, entriesHere, entries;
    uint32_t directorySize, directoryOffset;
};

uint16_t Le16(const unsigned char *p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t Le32(const unsigned char *p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

bool Refuse(std::string *why, const std::string &reason)
{
    *why = reason;
    return false;
}

// The archive open for reading, closed on every way out.
class ArchiveFile {
public:
    explicit ArchiveFile(const std::string &path) : file_(fopen(path.c_str(), "rb")), size_(-1)
    {
        if (file_ && fseek(file_, 0, SEEK_END) == 0)
            size_ = ftell(file_);
    }
    ~ArchiveFile()
    {
        if (file_)
            fclose(file_);
    }
    ArchiveFile(const ArchiveFile &) = delete;
    ArchiveFile &operator=(const ArchiveFile &) = delete;

    bool IsOpen() const { return file_ != NULL; }
    // Past 4 GiB every offset would need zip64, which is refused anyway.
    bool HasUsableSize() const { return size_ >= 0 && (unsigned long)size_ <= 0xFFFFFFFFUL; }
    uint32_t Size() const { return (uint32_t)size_; }

    bool ReadAt(uint32_t offset, void *buffer, uint32_t length)
    {
        if (offset > Size() || length > Size() - offset)
            return false;
        return fseek(file_, (long)offset, SEEK_SET) == 0 &&
               fread(buffer, 1, length, file_) == length;
    }

    bool HasSignatureAt(uint32_t offset, uint32_t signature)
    {
        unsigned char bytes[4];
        return ReadAt(offset, bytes, 4) && Le32(bytes) == signature;
    }

private:
    FILE *file_;
    long size_;
};

// The last end-record signature in TAIL whose comment fits: ending exactly
// at the end of the file, or anywhere before it. -1 if there is none.
long FindEndSignature(const std::vector<unsigned char> &tail, bool endsAtEndOfFile)
{
    for (size_t i = tail.size() - kEndRecordSize + 1; i-- > 0;) {
        const unsigned char *p = &tail[i];
        if (Le32(p) != kEndSig)
            continue;
        size_t end = i + kEndRecordSize + Le16(p + 20);
        if (endsAtEndOfFile ? end == tail.size() : end <= tail.size())
            return (long)i;
    }
    return -1;
}

// The end record sits in the last 22 bytes plus up to 64 KiB of comment. One
// whose comment ends exactly at the end of the file wins, so a signature
// inside a comment is not taken for the record.
bool FindEndRecord(ArchiveFile &file, EndRecord *end, std::string *why)
{
    if (file.Size() < kEndRecordSize)
        return Refuse(why, "not a zip archive (too short)");
    uint32_t tailLength = std::min(file.Size(), kEndRecordSize + kMaxCommentSize);
    uint32_t tailStart = file.Size() - tailLength;
    std::vector<unsigned char> tail(tailLength);
    if (!file.ReadAt(tailStart, &tail[0], tailLength))
        return Refuse(why, "cannot read archive");
    long found = FindEndSignature(tail, true);
    if (found < 0)
        found = FindEndSignature(tail, false);
    if (found < 0)
        return Refuse(why, "not a zip archive (no end of central directory)");

    const unsigned char *p = &tail[found];
    end->position = tailStart + (uint32_t)found;
    end->disk = Le16(p + 4);
    end->directoryDisk = Le16(p + 6);
    end->entriesHere = Le16(p + 8);
    end->entries = Le16(p + 10);
    end->directorySize = Le32(p + 12);
    end->directoryOffset = Le32(p + 16);
    if (end->disk != 0 || end->directoryDisk != 0 || end->entriesHere != end->entries)
        return Refuse(why, "multi-volume archives are not supported");
    // A count of 65,535 is a real one unless a zip64 locator stands in
    // front of the record; the directory itself says how many there are.
    const bool hasZip64Locator = end->position >= kZip64LocatorSize &&
                                 file.HasSignatureAt(end->position - kZip64LocatorSize,
                                                     kZip64LocatorSig);
    if (hasZip64Locator || end->directorySize == kZip64Marker ||
        end->directoryOffset == kZip64Marker)
        return Refuse(why, "zip64 archives are not supported");
    if (end->directorySize > end->position)
        return Refuse(why, "central directory size is out of range");
    return true;
}

// Normally the recorded offset is right. With data in front of the archive
// (a self-extractor stub, say) every offset is short by its length, but the
// directory still ends where the end record begins.
bool LocateDirectory(ArchiveFile &file, const EndRecord &end, ZipDirectory *dir)
{
    dir->directoryStart = end.directoryOffset;
    dir->dataShift = 0;
    if (end.directoryOffset <= end.position - end.directorySize &&
        (end.directorySize == 0 || file.HasSignatureAt(end.directoryOffset, kCentralSig)))
        return true;
    uint32_t guess = end.position - end.directorySize;
    if (guess < end.directoryOffset || !file.HasSignatureAt(guess, kCentralSig))
        return Refuse(&dir->why, "central directory not found at its recorded offset");
    dir->directoryStart = guess;
    dir->dataShift = guess - end.directoryOffset;
    return true;
}

std::string Upper(std::string text)
{
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] >= 'a' && text[i] <= 'z')
            text[i] = (char)(text[i] - 'a' + 'A');
    return text;
}

// Names that Windows maps to devices whatever folder they are in, with any
// extension ("con.txt") and trailing spaces.
bool IsDeviceName(const std::string &part)
{
    std::string base = Upper(part.substr(0, part.find('.')));
    base.erase(base.find_last_not_of(' ') + 1);
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$"};
    for (const char *device : kDevices)
        if (base == device)
            return true;
    return base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
           base[3] >= '1' && base[3] <= '9';
}

bool IsAllowedPart(const std::string &part)
{
    for (size_t i = 0; i < part.size(); ++i) {
        unsigned char c = (unsigned char)part[i];
        if (c < 0x20 || strchr("<>:\"|?*", c))
            return false;
    }
    // Windows drops trailing dots and spaces, so ". ." or "..." is the
    // parent folder as much as "..".
    return part.find_first_not_of(". ") != std::string::npos && !IsDeviceName(part);
}

// Where a member lands under the target folder ("." for the folder itself,
// as "./" names it), or "" when its name could put it anywhere else (or
// nowhere). NAME has only '/' separators by now.
std::string PathUnderFolder(const std::string &name)
{
    if (name.empty() || name[0] == '/' || name.find('\0') != std::string::npos)
        return "";
    std::string path;
    for (size_t start = 0; start < name.size();) {
        size_t end = std::min(name.find('/', start), name.size());
        std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (!IsAllowedPart(part))
            return "";
        if (!path.empty())
            path += '\\';
        path += part;
    }
    // Only a folder entry can be the folder itself; a file there has no name.
    if (path.empty() && name[name.size() - 1] == '/')
        return ".";
    return path;
}

bool ReadMembers(ArchiveFile &file, const EndRecord &end, ZipDirectory *dir)
{
    const uint32_t size = end.directorySize;
    std::vector<unsigned char> directory(size + 1);
    if (size && !file.ReadAt(dir->directoryStart, &directory[0], size))
        return Refuse(&dir->why, "cannot read central directory");
    // Entries are read until the directory's size is used up: its count is
    // only 16 bits, wraps past 65,535 and may be wrong.
    uint32_t pos = 0;
    while (pos < size) {
        if (size - pos < kCentralHeaderSize)
            return Refuse(&dir->why, "central directory ends inside an entry");
        const unsigned char *h = &directory[pos];
        if (Le32(h) != kCentralSig)
            return Refuse(&dir->why, "bad central directory entry signature");
        uint32_t nameLength = Le16(h + 28), extraLength = Le16(h + 30);
        uint32_t commentLength = Le16(h + 32);
        if (size - pos - kCentralHeaderSize < nameLength + extraLength + commentLength)
            return Refuse(&dir->why, "central directory entry is truncated");

        ZipMember m;
        m.flags = Le16(h + 8);
        m.method = Le16(h + 10);
        m.crc = Le32(h + 16);
        m.compressedSize = Le32(h + 20);
        m.size = Le32(h + 24);
        m.localOffset = Le32(h + 42);
        if (m.compressedSize == kZip64Marker || m.size == kZip64Marker ||
            m.localOffset == kZip64Marker)
            return Refuse(&dir->why, "zip64 archives are not supported");
        m.name.assign((const char *)h + kCentralHeaderSize, nameLength);
        std::replace(m.name.begin(), m.name.end(), '\\', '/');
        m.isFolder = !m.name.empty() && m.name[m.name.size() - 1] == '/';
        m.path = PathUnderFolder(m.name);
        dir->members.push_back(m);
        pos += kCentralHeaderSize + nameLength + extraLength + commentLength;
    }
    if (dir->members.size() != end.entries)
        return Refuse(&dir->why, "central directory holds " + DecimalText(dir->members.size()) +
                                     " entries, but its end record counts " +
                                     DecimalText(end.entries));
    return true;
}

// Built on first use rather than written out; two threads building it at
// once write the same values.
uint32_t g_crcTable[256];
bool g_crcTableBuilt = false;

void BuildCrcTable()
{
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320 ^ (c >> 1) : c >> 1;
        g_crcTable[n] = c;
    }
    g_crcTableBuilt = true;
}

}  // namespace

ZipDirectory ReadZipDirectory(const std::string &archivePath)
{
    ZipDirectory dir = {false, std::string(), std::vector<ZipMember>(), 0, 0};
    ArchiveFile file(archivePath);
    EndRecord end;
    if (!file.IsOpen())
        dir.why = "cannot open archive";
    else if (!file.HasUsableSize())
        dir.why = "cannot read archive (too large?)";
    else
        dir.ok = FindEndRecord(file, &end, &dir.why) && LocateDirectory(file, end, &dir) &&
                 ReadMembers(file, end, &dir);
    if (!dir.ok)
        dir.members.clear();
    return dir;
}

uint32_t Crc32(uint32_t crc, const void *data, size_t size)
{
    if (!g_crcTableBuilt)
        BuildCrcTable();
    const unsigned char *bytes = static_cast<const unsigned char *>(data);
    crc = ~crc;
    while (size--)
        crc = g_crcTable[(crc ^ *bytes++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}
