// Every text the user reads of a request: the progress window's status
// line, the boxes, and the details that follow a box's first words.
// app/request.cpp decides which one is shown; how it is said is here alone,
// free of windows.h so that it is unit-tested natively. The Wine tests
// compare these texts byte for byte.
#pragma once
#include <stdint.h>

#include <string>

#include "fetch/download_outcome.h"
#include "fetch/extract_check.h"

// The progress window's status line

// "Checking 7z920.zip...".
std::string CheckingText(const std::string &fileName);
// "7z920.zip: 120 KB of 540 KB, 4.8 KB/s, about 1 min 27 s left"; without
// a rate (0) or a length (0) the parts that need them are left out.
std::string ProgressText(const std::string &fileName, uint32_t received, uint32_t length,
                         uint32_t bytesPerSecond = 0);
// "7z920.zip: 240 KB of 540 KB; the line dropped, trying again in 8 s".
std::string RetryText(const std::string &fileName, uint32_t received, uint32_t length,
                      uint32_t seconds);
// "7z920.zip: the copy beside the program is used", where as UseCopyAtHand
// tells it.
std::string CopyUsedText(const std::string &fileName, const char *where);
// "Extracting 7z920.zip into C:\Apps...".
std::string ExtractingText(const std::string &fileName, const std::string &folder);
// "7z920.zip: 540 KB, done".
std::string DoneText(const std::string &fileName, uint32_t received);

// The boxes

struct BoxWords {
    const char *text;  // NULL: no box
    const char *caption;
};

// Before the first download of a request.
extern const BoxWords kStartBox;

// How a request, or one fetch of it, ends.
enum Ending {
    kGoOn,  // the extractor is in place: the request goes on
    kExtracted,
    kNotExtracted,  // a package without a folder to extract it to
    kUserCancelled,
    kNoFolder,
    kFolderRefused,
    kNoWindowsFolder,
    kNoInternetClient,
    kUrlFailed,
    kOutputFailed,
    kChecksumFailed,
    kExtractFailed,
    kTransferFailed,
};

// An ending's box: its first words, which the ending's details follow, and
// its caption.
BoxWords EndingWords(Ending ending);

// The details of an ending, after its box's first words

// kFolderRefused: a folder whose name the command interpreter would change.
std::string PercentInFolderText(const std::string &folder);

// kNoInternetClient: WININET is there but could not be set up.
std::string NotDownloadedText(const std::string &fileName);
// kNoInternetClient: neither WININET nor WSOCK32 is there, so only copies
// beside the program can help: of the extractor and of packageFileName.
std::string NoNetworkText(const std::string &fileName, const std::string &packageFileName);

// kUrlFailed (kCannotConnect, kSecureRedirect): the address, then why: what
// went wrong with a secure connection of the program's own TLS, a redirect
// to https this Windows cannot follow, or the transport's error code.
std::string UrlFailedText(const DownloadOutcome &outcome, const std::string &url,
                          const std::string &fileName);

// kTransferFailed: why the transfer failed (kHttpStatus, kTooManyRedirects,
// kConnectionLost).
std::string TransferFailedText(const DownloadOutcome &outcome);
// kTransferFailed (kCannotWrite): the file at path could not be written,
// the disk being full or for the reason the system's own words give.
std::string CannotWriteText(const std::string &path, bool diskFull,
                            const std::string &systemWords);

// kExtractFailed: what went wrong (the texts below), then what became of
// the file.
std::string ExtractFailedText(const std::string &trouble, const std::string &fileName,
                              const std::string &folder);
// The folder's name does not fit the 95 family's command interpreter.
std::string FolderTooLongText(const std::string &folder);
extern const char kExtractorNotStarted[];
// "3 of 14 files are missing from C:\Apps, the first is 7-Zip\7z.exe.", or
// "" when every member is in place.
std::string MissingFilesText(const ExtractCheck &check, const std::string &folder);
// The extractor's exit code, then what is missing ("" for nothing).
std::string ExtractorFailedText(uint32_t exitCode, const std::string &missing);

// Anywhere

// "error 5": a code the system has no words for.
std::string ErrorNumberText(uint32_t error);

// The line logged on standard output when a folder is chosen.
std::string FolderChosenLine(const std::string &folder);
