// pkzip.exe -- the small command-line extractor that Pelmora Downloader
// fetches and runs after a package has arrived:
//
//     PKZIP -extract <archive> <folder>
//
// It reads the archive's central directory with the program's own reader
// (fetch/zip_directory.cpp), extracts stored and deflated members into
// <folder> (created if needed) and checks every CRC and size.
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

#include "fetch/zip_directory.h"
#include "fetch/zip_names.h"

namespace {

enum ExitCode {
    kOk = 0,
    kBadArchive = 1,
    kUsage = 2,
    kUnsafePath = 3,
    kWriteFailed = 4,
};

const unsigned long kLocalSig = 0x04034b50UL;
const size_t kLocalHeaderSize = 30;
const size_t kChunk = 64 * 1024;

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

std::string JoinPath(const std::string &folder, const std::string &relative)
{
    if (folder.empty())
        return relative;
    if (IsSep(folder[folder.size() - 1]) || (folder.size() == 2 && folder[1] == ':'))
        return folder + relative;
    return folder + "\\" + relative;
}

// The member data of an archive whose directory has been read.
class Archive {
public:
    Archive(const std::string &path, const ZipDirectory &dir)
        : path_(path), file_(NULL), size_(0), cdStart_(dir.directoryStart), shift_(dir.dataShift)
    {
    }
    ~Archive()
    {
        if (file_)
            std::fclose(file_);
    }

    bool Open(Failure *err);
    bool Extract(const ZipMember &m, const std::string &outPath, Failure *err);

private:
    bool ReadAt(unsigned long offset, void *buf, size_t len);
    bool DataStart(const ZipMember &m, unsigned long *start, Failure *err);
    bool CopyStored(const ZipMember &m, FILE *out, uint32_t *crc, unsigned long *written,
                    Failure *err);
    bool Inflate(const ZipMember &m, FILE *out, uint32_t *crc, unsigned long *written,
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

bool Archive::DataStart(const ZipMember &m, unsigned long *start, Failure *err)
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

bool Archive::CopyStored(const ZipMember &m, FILE *out, uint32_t *crc,
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
        *crc = Crc32(*crc, &buf[0], n);
        if (std::fwrite(&buf[0], 1, n, out) != n)
            return Bad(err, "cannot write \"" + m.path + "\"", kWriteFailed);
        *written += n;
        left -= n;
    }
    return true;
}

bool Archive::Inflate(const ZipMember &m, FILE *out, uint32_t *crc, unsigned long *written,
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
            *crc = Crc32(*crc, &outBuf[0], produced);
            if (std::fwrite(&outBuf[0], 1, produced, out) != produced) {
                ok = Bad(err, "cannot write \"" + m.path + "\"", kWriteFailed);
                break;
            }
            *written += produced;
        }
    }
    inflateEnd(&s);
    return ok;
}

bool Archive::Extract(const ZipMember &m, const std::string &outPath, Failure *err)
{
    unsigned long start;
    if (!DataStart(m, &start, err))
        return false;

    if (m.isFolder) {
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

    uint32_t crc = 0;
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

// What the reader leaves to the extractor: members it must not or cannot write.
bool CheckMembers(const ZipDirectory &dir, Failure *err)
{
    err->code = kBadArchive;
    for (const ZipMember &m : dir.members) {
        if (m.path.empty()) {
            err->code = kUnsafePath;
            err->message = "refusing member \"" + m.name + "\": not a safe path under the folder";
        } else if (m.flags & 0x0001) {
            err->message = "member \"" + m.name + "\" is encrypted";
        } else if (m.method != 0 && m.method != 8) {
            char num[16];
            std::sprintf(num, "%u", m.method);
            err->message = "member \"" + m.name + "\" uses unsupported method " + num;
        } else {
            continue;
        }
        return false;
    }
    return true;
}

// Tests stand in a slow extraction with PELMORA_PKZIP_DELAY=<seconds>, and
// one that silently misses a file with PELMORA_PKZIP_SKIP=<member name>.
void WaitIfAsked()
{
    const char *delay = std::getenv("PELMORA_PKZIP_DELAY");
    if (delay && *delay)
        Sleep((DWORD)(std::atof(delay) * 1000));
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
    const ZipDirectory dir = ReadZipDirectory(archivePath);
    if (!dir.ok) {
        err.code = kBadArchive;
        err.message = dir.why;
        return Fail(archivePath, err);
    }
    // Every member is checked before anything is written.
    Archive archive(archivePath, dir);
    if (!CheckMembers(dir, &err) || !archive.Open(&err))
        return Fail(archivePath, err);
    WaitIfAsked();

    if (!MakeFolders(folder)) {
        err.code = kWriteFailed;
        err.message = "cannot create folder \"" + folder + "\"";
        return Fail(archivePath, err);
    }

    const char *skip = std::getenv("PELMORA_PKZIP_SKIP");
    unsigned files = 0;
    for (const ZipMember &m : dir.members) {
        if (skip && m.name == skip)
            continue;
        std::string outPath = JoinPath(folder, MemberPathAsWritten(m));
        if (!archive.Extract(m, outPath, &err))
            return Fail(archivePath, err);
        if (m.isFolder) {
            std::printf("   creating: %s\n", m.name.c_str());
        } else {
            std::printf(" extracting: %s\n", m.name.c_str());
            ++files;
        }
    }
    std::printf("%u file(s) extracted to %s\n", files, folder.c_str());
    return kOk;
}
