// A press of a package button, from the folder picker to the final box.
#pragma once
#include <windows.h>

struct PackageEntry;

void RequestPackage(HWND hwnd, const PackageEntry &package);
