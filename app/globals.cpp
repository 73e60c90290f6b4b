// Definitions of the shared globals declared in globals.h.
#include "app/globals.h"

HINSTANCE g_hInstance = NULL;
HWND g_hMainWnd = NULL;
HBRUSH g_hFaceBrush = NULL;
std::string g_extractPath;
bool g_pathSelected = false;
