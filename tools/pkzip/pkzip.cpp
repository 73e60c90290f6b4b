// pkzip.exe -- the small command-line extractor that Pelmora Downloader
// fetches and runs after a package has arrived:
//
//     PKZIP -extract <archive> <folder>
//
// It walks the archive's central directory, extracts stored and deflated
// members into <folder> (created if needed) and checks every CRC and size.
// Exit codes: 0 all members extracted, 1 bad or damaged archive,
// 2 usage, 3 a member would land outside <folder>, 4 cannot create/write.
//
// It has to load on Windows 95/98/NT4/2000, so it sticks to C stdio and a
// handful of ANSI kernel32 calls: no iostreams, no <filesystem>, no W APIs.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <zlib.h>

namespace {

enum ExitCode {
    kOk = 0,
    kBadArchive = 1,
    kUsage = 2,
    kUnsafePath = 3,
    kWriteFailed = 4,
};

const unsigned long kLocalSig = 0x04034b50UL;
const unsigned long kCentralSig = 0x02014b50UL;
const unsigned long kEndSig = 0x06054b50UL;
const size_t kLocalHeaderSize = 30;
const size_t kCentralHeaderSize = 46;
const size_t kEndRecordSize = 22;
const size_t kChunk = 64 * 1024;

struct Member {
    std::string name;         // as stored, separators unified to '/'
    std::string outRelative;  // same path with '\' separators, "." parts dropped
    bool isDir;
    unsigned method;
    unsigned flags;
    unsigned long crc;
    unsigned long compressedSize;
    unsigned long size;
    unsigned long localOffset;
};

// A failure carries its exit code and a one-line reason; main prints it.
struct Failure {
    int code;
    std::string message;
};

unsigned Le16(const unsigned char *p)
{
    return p[0] | (p[1] << 8);
}

unsigned long Le32(const unsigned char *p)
{
    return (unsigned long)p[0] | ((unsigned long)p[1] << 8) | ((unsigned long)p[2] << 16) |
           ((unsigned long)p[3] << 24);
}

bool IsSep(char c)
{
    return c == '/' || c == '\\';
}

bool EqualsNoCase(const char *a, const char *b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'A' && x <= 'Z')
            x = (char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (char)(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return *a == *b;
}

bool IsDirectory(const std::string &path)
{
    DWORD attr = GetFileAttributesA(path.c_str());
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
}

// Length of the part of a path that cannot be created: "C:\", "\", or
// "\\server\share\".
size_t RootLength(const std::string &path)
{
    if (path.size() >= 2 && IsSep(path[0]) && IsSep(path[1])) {
        size_t i = 2;
        for (int part = 0; part < 2 && i < path.size(); ++part) {
            while (i < path.size() && !IsSep(path[i]))
                ++i;
            if (i < path.size())
                ++i;
        }
        return i;
    }
    if (path.size() >= 2 && path[1] == ':')
        return (path.size() >= 3 && IsSep(path[2])) ? 3 : 2;
    if (!path.empty() && IsSep(path[0]))
        return 1;
    return 0;
}

// Creates every missing folder along the path, like "mkdir -p".
bool MakeFolders(const std::string &path)
{
    size_t start = RootLength(path);
    for (size_t i = start; i <= path.size(); ++i) {
        if (i != path.size() && !IsSep(path[i]))
            continue;
        if (i == start || IsSep(path[i - 1]))
            continue;  // empty component ("a\\b") or the root itself
        std::string prefix = path.substr(0, i);
        if (IsDirectory(prefix))
            continue;
        if (!CreateDirectoryA(prefix.c_str(), NULL) && !IsDirectory(prefix))
            return false;
    }
    return IsDirectory(path.empty() ? "." : path);
}

// Names that Windows maps to devices whatever folder they are in.
bool IsDeviceName(const std::string &part)
{
    std::string base = part.substr(0, part.find('.'));
    while (!base.empty() && base[base.size() - 1] == ' ')
        base.erase(base.size() - 1);
    static const char *const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$"};
    for (const char *dev : kDevices)
        if (EqualsNoCase(base.c_str(), dev))
            return true;
    if (base.size() == 4 && base[3] >= '1' && base[3] <= '9') {
        std::string stem = base.substr(0, 3);
        if (EqualsNoCase(stem.c_str(), "COM") || EqualsNoCase(stem.c_str(), "LPT"))
            return true;
    }
    return false;
}

// Turns a member name into a path relative to the target folder, or explains
// why it cannot be one. Both separators count, since Windows accepts both.
bool SafeRelativePath(const std::string &name, std::string *out, std::string *why)
{
    if (name.empty()) {
        *why = "empty member name";
        return false;
    }
    if (IsSep(name[0])) {
        *why = "absolute path";
        return false;
    }
    out->clear();
    size_t i = 0;
    while (i < name.size()) {
        size_t end = i;
        while (end < name.size() && !IsSep(name[end]))
            ++end;
        std::string part = name.substr(i, end - i);
        i = end + 1;
        if (part.empty() || part == ".")
            continue;
        for (size_t k = 0; k < part.size(); ++k) {
            unsigned char c = (unsigned char)part[k];
            if (c == ':') {
                *why = "drive letter or stream name";
                return false;
            }
            if (c < 0x20 || std::strchr("<>\"|?*", c)) {
                *why = "character not allowed in a file name";
                return false;
            }
        }
        // Windows drops trailing dots and spaces, so ". ." or "..." could
        // still mean the parent folder.
        if (part.find_first_not_of(". ") == std::string::npos) {
            *why = "parent folder reference";
            return false;
        }
        if (IsDeviceName(part)) {
            *why = "device name";
            return false;
        }
        if (!out->empty())
            *out += '\\';
        *out += part;
    }
    if (out->empty()) {
        *why = "empty member name";
        return false;
    }
    return true;
}

std::string JoinPath(const std::string &folder, const std::string &relative)
{
    if (folder.empty())
        return relative;
    if (IsSep(folder[folder.size() - 1]) || (folder.size() == 2 && folder[1] == ':'))
        return folder + relative;
    return folder + "\\" + relative;
}

class Archive {
public:
    explicit Archive(const std::string &path) : path_(path), file_(NULL), size_(0) {}
    ~Archive()
    {
        if (file_)
            std::fclose(file_);
    }

    bool Open(Failure *err);
    bool ReadDirectory(std::vector<Member> *members, Failure *err);
    bool Extract(const Member &m, const std::string &outPath, Failure *err);

private:
    bool ReadAt(unsigned long offset, void *buf, size_t len);
    bool DataStart(const Member &m, unsigned long *start, Failure *err);
    bool CopyStored(const Member &m, FILE *out, unsigned long *crc, unsigned long *written,
                    Failure *err);
    bool Inflate(const Member &m, FILE *out, unsigned long *crc, unsigned long *written,
                 Failure *err);
    bool Bad(Failure *err, const std::string &what, int code = kBadArchive)
    {
        err->code = code;
        err->message = what;
        return false;
    }

    std::string path_;
    FILE *file_;
    unsigned long size_;
    unsigned long cdStart_;  // where the central directory really starts
    unsigned long shift_;    // bytes prepended in front of the archive, if any
};

bool Archive::ReadAt(unsigned long offset, void *buf, size_t len)
{
    if (offset > size_ || len > size_ - offset)
        return false;
    if (std::fseek(file_, (long)offset, SEEK_SET) != 0)
        return false;
    return std::fread(buf, 1, len, file_) == len;
}

bool Archive::Open(Failure *err)
{
    file_ = std::fopen(path_.c_str(), "rb");
    if (!file_)
        return Bad(err, "cannot open archive");
    if (std::fseek(file_, 0, SEEK_END) != 0)
        return Bad(err, "cannot read archive");
    long size = std::ftell(file_);
    if (size < 0)
        return Bad(err, "cannot read archive (too large?)");
    size_ = (unsigned long)size;
    return true;
}

bool Archive::ReadDirectory(std::vector<Member> *members, Failure *err)
{
    if (size_ < kEndRecordSize)
        return Bad(err, "not a zip archive (too short)");

    // The end record sits in the last 22 bytes plus up to 64 KiB of comment.
    unsigned long tailLen = size_ < kEndRecordSize + 0xFFFF ? size_ : kEndRecordSize + 0xFFFF;
    unsigned long tailStart = size_ - tailLen;
    std::vector<unsigned char> tail(tailLen);
    if (!ReadAt(tailStart, &tail[0], tailLen))
        return Bad(err, "cannot read archive");

    // Prefer a record whose comment ends exactly at the end of the file, so
    // a signature inside a comment is not mistaken for the record.
    long found = -1;
    for (int strict = 1; strict >= 0 && found < 0; --strict) {
        for (long i = (long)(tailLen - kEndRecordSize); i >= 0; --i) {
            const unsigned char *p = &tail[i];
            if (Le32(p) != kEndSig)
                continue;
            unsigned long end = (unsigned long)i + kEndRecordSize + Le16(p + 20);
            if (strict ? end == tailLen : end <= tailLen) {
                found = i;
                break;
            }
        }
    }
    if (found < 0)
        return Bad(err, "not a zip archive (no end of central directory)");

    const unsigned char *end = &tail[found];
    unsigned long endPos = tailStart + (unsigned long)found;
    unsigned disk = Le16(end + 4), cdDisk = Le16(end + 6);
    unsigned entriesHere = Le16(end + 8), entries = Le16(end + 10);
    unsigned long cdSize = Le32(end + 12), cdOffset = Le32(end + 16);
    if (disk != 0 || cdDisk != 0 || entriesHere != entries)
        return Bad(err, "multi-volume archives are not supported");
    if (entries == 0xFFFF || cdSize == 0xFFFFFFFFUL || cdOffset == 0xFFFFFFFFUL)
        return Bad(err, "zip64 archives are not supported");
    if (cdSize > endPos)
        return Bad(err, "central directory size is out of range");

    // Normally the offsets are right. If data was prepended (a self-extractor
    // stub, say) the directory still ends where the end record begins.
    unsigned char sig[4];
    cdStart_ = cdOffset;
    shift_ = 0;
    bool atOffset = cdOffset <= endPos && cdSize <= endPos - cdOffset &&
                    (cdSize == 0 || (ReadAt(cdOffset, sig, 4) && Le32(sig) == kCentralSig));
    if (!atOffset) {
        unsigned long guess = endPos - cdSize;
        if (guess < cdOffset || !ReadAt(guess, sig, 4) || Le32(sig) != kCentralSig)
            return Bad(err, "central directory not found at its recorded offset");
        cdStart_ = guess;
        shift_ = guess - cdOffset;
    }

    std::vector<unsigned char> cd(cdSize + 1);
    if (cdSize && !ReadAt(cdStart_, &cd[0], cdSize))
        return Bad(err, "cannot read central directory");

    size_t pos = 0;
    for (unsigned n = 0; n < entries; ++n) {
        if (cdSize - pos < kCentralHeaderSize || Le32(&cd[pos]) != kCentralSig)
            return Bad(err, "bad central directory entry signature");
        const unsigned char *h = &cd[pos];
        size_t nameLen = Le16(h + 28), extraLen = Le16(h + 30), commentLen = Le16(h + 32);
        if (cdSize - pos - kCentralHeaderSize < nameLen + extraLen + commentLen)
            return Bad(err, "central directory entry is truncated");

        Member m;
        m.flags = Le16(h + 8);
        m.method = Le16(h + 10);
        m.crc = Le32(h + 16);
        m.compressedSize = Le32(h + 20);
        m.size = Le32(h + 24);
        m.localOffset = Le32(h + 42);
        m.name.assign((const char *)h + kCentralHeaderSize, nameLen);
        pos += kCentralHeaderSize + nameLen + extraLen + commentLen;

        if (m.name.find('\0') != std::string::npos)
            return Bad(err, "member name contains a NUL byte", kUnsafePath);
        for (size_t k = 0; k < m.name.size(); ++k)
            if (m.name[k] == '\\')
                m.name[k] = '/';
        std::string why;
        if (!SafeRelativePath(m.name, &m.outRelative, &why))
            return Bad(err, "refusing member \"" + m.name + "\": " + why, kUnsafePath);
        m.isDir = m.name[m.name.size() - 1] == '/';

        if (m.flags & 0x0001)
            return Bad(err, "member \"" + m.name + "\" is encrypted");
        if (m.method != 0 && m.method != 8) {
            char num[16];
            std::sprintf(num, "%u", m.method);
            return Bad(err, "member \"" + m.name + "\" uses unsupported method " + num);
        }
        if (m.compressedSize == 0xFFFFFFFFUL || m.size == 0xFFFFFFFFUL ||
            m.localOffset == 0xFFFFFFFFUL)
            return Bad(err, "zip64 archives are not supported");
        members->push_back(m);
    }
    return true;
}

bool Archive::DataStart(const Member &m, unsigned long *start, Failure *err)
{
    unsigned char h[kLocalHeaderSize];
    unsigned long at = m.localOffset + shift_;
    if (at < m.localOffset || at >= cdStart_ || !ReadAt(at, h, sizeof h))
        return Bad(err, "local header of \"" + m.name + "\" is out of range");
    if (Le32(h) != kLocalSig)
        return Bad(err, "bad local header signature for \"" + m.name + "\"");
    unsigned long nameLen = Le16(h + 26), extraLen = Le16(h + 28);
    std::string localName(nameLen, '\0');
    if (nameLen && !ReadAt(at + kLocalHeaderSize, &localName[0], nameLen))
        return Bad(err, "local header of \"" + m.name + "\" is truncated");
    for (size_t k = 0; k < localName.size(); ++k)
        if (localName[k] == '\\')
            localName[k] = '/';
    if (localName != m.name)
        return Bad(err, "local name differs from directory name for \"" + m.name + "\"");
    *start = at + kLocalHeaderSize + nameLen + extraLen;
    if (*start > cdStart_ || m.compressedSize > cdStart_ - *start)
        return Bad(err, "data of \"" + m.name + "\" is truncated");
    if (std::fseek(file_, (long)*start, SEEK_SET) != 0)
        return Bad(err, "cannot read data of \"" + m.name + "\"");
    return true;
}

bool Archive::CopyStored(const Member &m, FILE *out, unsigned long *crc,
                         unsigned long *written, Failure *err)
{
    if (m.compressedSize != m.size)
        return Bad(err, "stored member \"" + m.name + "\" has mismatched sizes");
    std::vector<unsigned char> buf(kChunk);
    unsigned long left = m.size;
    while (left > 0) {
        size_t n = left < kChunk ? (size_t)left : kChunk;
        if (std::fread(&buf[0], 1, n, file_) != n)
            return Bad(err, "data of \"" + m.name + "\" is truncated");
        *crc = crc32(*crc, &buf[0], (uInt)n);
        if (std::fwrite(&buf[0], 1, n, out) != n)
            return Bad(err, "cannot write \"" + m.outRelative + "\"", kWriteFailed);
        *written += n;
        left -= n;
    }
    return true;
}

bool Archive::Inflate(const Member &m, FILE *out, unsigned long *crc, unsigned long *written,
                      Failure *err)
{
    std::vector<unsigned char> in(kChunk), outBuf(kChunk);
    z_stream s;
    std::memset(&s, 0, sizeof s);
    // Zip members hold raw deflate data with no zlib header.
    if (inflateInit2(&s, -MAX_WBITS) != Z_OK)
        return Bad(err, "cannot start inflate");

    unsigned long left = m.compressedSize;
    int ret = Z_OK;
    bool ok = true;
    while (ok && ret != Z_STREAM_END) {
        if (s.avail_in == 0) {
            if (left == 0) {
                ok = Bad(err, "deflate data of \"" + m.name + "\" ends early");
                break;
            }
            size_t n = left < kChunk ? (size_t)left : kChunk;
            if (std::fread(&in[0], 1, n, file_) != n) {
                ok = Bad(err, "data of \"" + m.name + "\" is truncated");
                break;
            }
            left -= n;
            s.next_in = &in[0];
            s.avail_in = (uInt)n;
        }
        s.next_out = &outBuf[0];
        s.avail_out = (uInt)kChunk;
        ret = inflate(&s, Z_NO_FLUSH);
        if (ret != Z_OK && ret != Z_STREAM_END && !(ret == Z_BUF_ERROR && s.avail_in == 0)) {
            ok = Bad(err, "deflate data of \"" + m.name + "\" is corrupt");
            break;
        }
        size_t produced = kChunk - s.avail_out;
        if (produced > m.size - *written) {
            ok = Bad(err, "\"" + m.name + "\" is larger than its recorded size");
            break;
        }
        if (produced) {
            *crc = crc32(*crc, &outBuf[0], (uInt)produced);
            if (std::fwrite(&outBuf[0], 1, produced, out) != produced) {
                ok = Bad(err, "cannot write \"" + m.outRelative + "\"", kWriteFailed);
                break;
            }
            *written += produced;
        }
    }
    inflateEnd(&s);
    return ok;
}

bool Archive::Extract(const Member &m, const std::string &outPath, Failure *err)
{
    unsigned long start;
    if (!DataStart(m, &start, err))
        return false;

    if (m.isDir) {
        if (m.size != 0)
            return Bad(err, "folder entry \"" + m.name + "\" has data");
        if (!MakeFolders(outPath))
            return Bad(err, "cannot create folder \"" + outPath + "\"", kWriteFailed);
        return true;
    }

    size_t slash = outPath.find_last_of("\\/");
    if (slash != std::string::npos && slash > 0 && !MakeFolders(outPath.substr(0, slash)))
        return Bad(err, "cannot create folder for \"" + outPath + "\"", kWriteFailed);

    FILE *out = std::fopen(outPath.c_str(), "wb");
    if (!out)
        return Bad(err, "cannot create \"" + outPath + "\"", kWriteFailed);

    unsigned long crc = crc32(0L, Z_NULL, 0);
    unsigned long written = 0;
    bool ok = m.method == 0 ? CopyStored(m, out, &crc, &written, err)
                            : Inflate(m, out, &crc, &written, err);
    if (std::fclose(out) != 0 && ok)
        ok = Bad(err, "cannot write \"" + outPath + "\"", kWriteFailed);
    if (ok && written != m.size)
        ok = Bad(err, "size mismatch in \"" + m.name + "\"");
    if (ok && crc != m.crc)
        ok = Bad(err, "CRC mismatch in \"" + m.name + "\"");
    // A damaged file left behind would look like a good one.
    if (!ok)
        std::remove(outPath.c_str());
    return ok;
}

// Tests check what command line the downloader really passed us.
void LogCommandLine()
{
    const char *logPath = std::getenv("PELMORA_PKZIP_LOG");
    if (!logPath || !*logPath)
        return;
    FILE *log = std::fopen(logPath, "ab");
    if (!log)
        return;
    std::fputs(GetCommandLineA(), log);
    std::fputc('\n', log);
    std::fclose(log);
}

int Usage()
{
    std::fputs("usage: PKZIP -extract <archive.zip> <folder>\n", stderr);
    return kUsage;
}

int Fail(const std::string &archive, const Failure &err)
{
    std::fflush(stdout);
    std::fprintf(stderr, "PKZIP: %s: %s\n", archive.c_str(), err.message.c_str());
    return err.code;
}

}  // namespace

int main(int argc, char **argv)
{
    LogCommandLine();

    if (argc != 4 || !EqualsNoCase(argv[1], "-extract"))
        return Usage();
    std::string archivePath = argv[2];
    std::string folder = argv[3];
    // A quoted folder ending in a backslash ("D:\") reaches us with the
    // closing quote still attached.
    if (!folder.empty() && folder[folder.size() - 1] == '"')
        folder.erase(folder.size() - 1);
    if (archivePath.empty() || folder.empty())
        return Usage();

    Failure err;
    Archive archive(archivePath);
    std::vector<Member> members;
    // Every name is checked before anything is written.
    if (!archive.Open(&err) || !archive.ReadDirectory(&members, &err))
        return Fail(archivePath, err);

    if (!MakeFolders(folder)) {
        err.code = kWriteFailed;
        err.message = "cannot create folder \"" + folder + "\"";
        return Fail(archivePath, err);
    }

    unsigned files = 0;
    for (const Member &m : members) {
        std::string outPath = JoinPath(folder, m.outRelative);
        if (!archive.Extract(m, outPath, &err))
            return Fail(archivePath, err);
        if (m.isDir) {
            std::printf("   creating: %s\n", m.name.c_str());
        } else {
            std::printf(" extracting: %s\n", m.name.c_str());
            ++files;
        }
    }
    std::printf("%u file(s) extracted to %s\n", files, folder.c_str());
    return kOk;
}
