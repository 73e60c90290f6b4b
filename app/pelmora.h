// The main window's procedure, the handlers it hands work to, and its ids.
#pragma once
#include <windows.h>

const char kMainClassName[] = "PelmoraDownloader";

// Control ids of the main window that are not packages.
const int kCancelButtonId = 6;
const int kAboutButtonId = 7;

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void OnMainCommand(HWND hwnd, int id);
void ToggleAbout();
// Hides the About window, if there is one, and leaves the next toggle as it was.
void HideAbout();
