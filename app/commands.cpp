// What the main window's buttons do.
#include <windows.h>

#include "app/pelmora.h"
#include "app/request.h"
#include "fetch/catalogue.h"

void OnMainCommand(HWND hwnd, int id)
{
    if (const PackageEntry *package = FindPackage(id))
        RequestPackage(hwnd, *package);
    else if (id == kCancelButtonId)
        DestroyWindow(hwnd);
    else if (id == kAboutButtonId)
        ToggleAbout();
}
