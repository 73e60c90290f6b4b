// Whether an extraction really put every member of the archive in place.
#pragma once
#include <string>

struct ExtractCheck {
    bool readable;       // the archive's table of contents could be read
    unsigned total;      // members in the archive
    unsigned missing;    // members not in the folder at all
    unsigned different;  // members there, but of another size or content
    std::string first;   // the first member missing or different, as written
};

// Looks for every member of the archive at archivePath in folder: a folder
// for each folder entry, a file of the member's size and CRC for the rest.
ExtractCheck CheckExtracted(const std::string &archivePath, const std::string &folder);
