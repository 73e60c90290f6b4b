// The fixed table of downloadable files: five packages and the extractor.
#pragma once
#include <string>

struct PackageEntry {
    const char *label;            // button caption; "" for the extractor
    int commandId;                // button control id; 0 for the extractor
    const char *fileName;         // stored name in the temp folder, checksum key
    const char *url;
    const char *expectedChecksum;
};

const int kPackageCount = 5;
extern const PackageEntry kPackages[kPackageCount];
extern const PackageEntry kExtractorEntry;

const PackageEntry *FindPackage(int commandId);
std::string ExpectedChecksum(const std::string &fileName);
