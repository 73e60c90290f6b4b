// Downloads one catalogue file, verifies it and, given a folder, extracts it.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <string>

bool DownloadAndExtract(const std::string &url, const std::string &fileName,
                        const std::string &extractFolder);
bool IsWinNT();
DWORD GetContentLength(HINTERNET request);
void SetProgress(DWORD position);
