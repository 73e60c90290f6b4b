// The files are fixed by their checksums, so a verified copy is the file:
// with the program, the extractor and a package on one floppy or CD a
// request works with no network, and the extractor is not fetched again
// for every package.
#include "fetch/copy_at_hand.h"

#include <windows.h>

#include "fetch/catalogue.h"
#include "fetch/checksum.h"

const char *UseCopyAtHand(const FetchPaths &paths, const std::string &programFolder,
                          const std::string &fileName)
{
    const std::string expected = ExpectedChecksum(fileName);
    if (ComputeChecksum(paths.downloadPath) == expected)
        return "in the temp folder";
    if (programFolder.empty())
        return NULL;
    // Copied first and checked there: a floppy is read once, not twice.
    const std::string beside = programFolder + "\\" + fileName;
    if (!CopyFileA(beside.c_str(), paths.downloadPath.c_str(), FALSE))
        return NULL;
    // A copy from a CD comes read-only, which no later download could replace.
    SetFileAttributesA(paths.downloadPath.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (ComputeChecksum(paths.downloadPath) == expected)
        return "beside the program";
    DeleteFileA(paths.downloadPath.c_str());
    return NULL;
}
