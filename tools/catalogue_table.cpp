// Prints the catalogue as tab-separated lines (file name, URL, expected sum)
// so the local mirror and the fixture generator read the program's own table
// instead of keeping a copy by hand.
#include <cstdio>

#include "fetch/catalogue.h"

static void PrintRow(const PackageEntry &row)
{
    std::printf("%s\t%s\t%s\t%d\t%s\n", row.fileName, row.url, row.expectedChecksum,
                row.commandId, row.label);
}

int main()
{
    for (const PackageEntry &row : kPackages)
        PrintRow(row);
    PrintRow(kExtractorEntry);
    return 0;
}
