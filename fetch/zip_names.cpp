// The name a member gets on disk on Windows. Zip tools of the DOS and early
// Windows years store names in the OEM code page (437 on a US machine),
// while the file calls of the program and of the extractor take ANSI text
// (1252): "Läs mig.txt" has a different byte for "ä" in each. Both run on
// Windows 95, so this sticks to the two conversions kernel32 has there.
#include "fetch/zip_names.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace {

bool IsPlainAscii(const std::string &text)
{
    for (size_t i = 0; i < text.size(); ++i)
        if ((unsigned char)text[i] >= 0x80)
            return false;
    return true;
}

// A character with no ANSI equivalent becomes "?", and a best-fit one may
// become a separator or "|": keep the stored bytes rather than write a name
// the file system refuses or a folder the archive does not have.
bool KeepsItsShape(const std::string &from, const std::string &to, BOOL usedDefault)
{
    return !usedDefault && std::count(from.begin(), from.end(), '\\') ==
                               std::count(to.begin(), to.end(), '\\') &&
           to.find_first_of("/:*?\"<>|") == std::string::npos;
}

}  // namespace

std::string MemberPathAsWritten(const ZipMember &m)
{
    if (IsPlainAscii(m.path))
        return m.path;
    const int length = (int)m.path.size();
    const int wideLength = MultiByteToWideChar(CP_OEMCP, 0, m.path.data(), length, NULL, 0);
    if (wideLength <= 0)
        return m.path;
    std::vector<WCHAR> wide(wideLength);
    MultiByteToWideChar(CP_OEMCP, 0, m.path.data(), length, &wide[0], wideLength);
    const int ansiLength =
        WideCharToMultiByte(CP_ACP, 0, &wide[0], wideLength, NULL, 0, NULL, NULL);
    if (ansiLength <= 0)
        return m.path;
    std::string ansi(ansiLength, '\0');
    BOOL usedDefault = FALSE;
    WideCharToMultiByte(CP_ACP, 0, &wide[0], wideLength, &ansi[0], ansiLength, NULL, &usedDefault);
    return KeepsItsShape(m.path, ansi, usedDefault) ? ansi : m.path;
}
