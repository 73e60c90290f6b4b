// After the extractor: are the files there? Neither a finished command.com
// (which hands back no exit code) nor an exit code of 0 says so for sure: a
// full or read-only disk, a folder that cannot be made or an overwrite
// question answered "no" leave files out or old ones in place. So every
// member of the archive is looked up by its size and CRC.
#include "fetch/extract_check.h"

#include <windows.h>

#include <memory>

#include "fetch/zip_directory.h"
#include "fetch/zip_names.h"

namespace {

const DWORD kBlockSize = 64 * 1024;

enum Found { kAbsent, kDifferent, kPresent };

std::string InFolder(const std::string &folder, const std::string &relative)
{
    const char last = folder.empty() ? '\\' : folder[folder.size() - 1];
    return folder + (last == '\\' || last == '/' || last == ':' ? "" : "\\") + relative;
}

Found FindFolder(const std::string &path)
{
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return kAbsent;
    return attributes & FILE_ATTRIBUTE_DIRECTORY ? kPresent : kDifferent;
}

Found FindFile(const std::string &path, const ZipMember &member, unsigned char *block)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FindFolder(path) == kAbsent ? kAbsent : kDifferent;
    DWORD high = 0, got = 0;
    bool same = GetFileSize(file, &high) == member.size && high == 0;
    uint32_t crc = 0;
    while (same && ReadFile(file, block, kBlockSize, &got, NULL) && got)
        crc = Crc32(crc, block, got);
    CloseHandle(file);
    return same && crc == member.crc ? kPresent : kDifferent;
}

Found Find(const std::string &folder, const ZipMember &member, unsigned char *block)
{
    if (member.path.empty())  // a name no safe extractor writes
        return kAbsent;
    const std::string path = InFolder(folder, MemberPathAsWritten(member));
    return member.isFolder ? FindFolder(path) : FindFile(path, member, block);
}

}  // namespace

ExtractCheck CheckExtracted(const std::string &archivePath, const std::string &folder)
{
    const ZipDirectory directory = ReadZipDirectory(archivePath);
    ExtractCheck check = {directory.ok, 0, 0, 0, std::string()};
    std::unique_ptr<unsigned char[]> block(new unsigned char[kBlockSize]);
    for (const ZipMember &member : directory.members) {
        ++check.total;
        const Found found = Find(folder, member, block.get());
        if (found == kPresent)
            continue;
        ++(found == kAbsent ? check.missing : check.different);
        if (check.first.empty())
            check.first = member.path.empty() ? member.name
                                              : MemberPathAsWritten(member) +
                                                    (member.isFolder ? "\\" : "");
    }
    return check;
}
