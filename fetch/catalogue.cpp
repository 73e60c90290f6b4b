// The package catalogue. Host names come from the build (see CMakeLists.txt),
// so the table below is the only place URLs, file names and sums live.
#include "fetch/catalogue.h"

#define MIRROR_URL(path) "http://" PELMORA_MIRROR_HOST path
#define ARCHIVE_URL(path) "http://" PELMORA_ARCHIVE_HOST path

const PackageEntry kPackages[kPackageCount] = {
    {"RetroZilla", 1, "retrozilla-2.2.zip",
     MIRROR_URL("/downloads/software/retrozilla/retrozilla-2.2.zip"), "1676791377"},
    {"Winzip", 2, "winzip63.zip",
     MIRROR_URL("/downloads/software/winzip/winzip63.zip"), "89393433"},
    {"Winrar", 3, "winrar361.zip",
     MIRROR_URL("/downloads/software/winrar/winrar361.zip"), "127388765"},
    {"7zip", 4, "7z920.zip",
     MIRROR_URL("/downloads/software/7zip/7z920.zip"), "139553229"},
    {"IE 5.5", 5, "ie551websetup.zip",
     MIRROR_URL("/downloads/software/internet_explorer/ie551websetup.zip"), "68153449"},
};

// Fetched from a path ending in pkzip25.exe but stored as pkzip.exe, which
// is the name the extraction command runs.
const PackageEntry kExtractorEntry = {
    "", 0, "pkzip.exe", ARCHIVE_URL("/files/pkzip25.exe"), "33714744"};

const PackageEntry *FindPackage(int commandId)
{
    for (const PackageEntry &row : kPackages)
        if (row.commandId == commandId)
            return &row;
    return nullptr;
}

// Only the stored name is a key, compared byte for byte. Unknown names give
// "", which never equals a computed sum, so such a download always fails.
std::string ExpectedChecksum(const std::string &fileName)
{
    for (const PackageEntry &row : kPackages)
        if (fileName == row.fileName)
            return row.expectedChecksum;
    if (fileName == kExtractorEntry.fileName)
        return kExtractorEntry.expectedChecksum;
    return "";
}
