// How a download ended, as facts, and the limits it keeps to. No
// windows.h, so that the words for it (fetch/words.cpp) are unit-tested
// natively.
#pragma once
#include <stdint.h>

#include <string>

#include "net/connection_trouble.h"

enum DownloadResult {
    kDownloaded,       // the whole body is in the file
    kNoInternet,       // the Internet client could not be set up (error)
    kNoNetwork,        // neither WININET.DLL nor WSOCK32.DLL is there
    kCannotConnect,    // no server answered the first request (error)
    kSecureRedirect,   // sent on to https (url), which could not be followed (error;
                       // trouble: why, where the TLS is ours)
    kTooManyRedirects, // sent on more often than kMaxRedirects (url: the last address)
    kCannotCreate,     // the file could not be opened for writing
    kHttpStatus,       // the server answered neither 200 nor 206 (status, statusText)
    kConnectionLost,   // nothing arrived for kGiveUpSeconds across attempts
    kCannotWrite,      // writing failed (error)
    kCancelled,
};

struct DownloadOutcome {
    DownloadResult result;
    uint32_t error;             // system or transport error code, where one is known
    uint32_t status;            // HTTP status for kHttpStatus
    std::string statusText;
    uint32_t received, length;  // bytes in the file; the body's length, 0 if unknown
    uint32_t attempts;          // requests made for the file
    uint32_t silentSeconds;     // since the file last grew, for kConnectionLost
    bool endUnproven;           // the body had no length, nor chunks the program read itself:
                                // a close may have cut it without anything telling
    std::string url;            // where a redirect led, for kSecureRedirect and kTooManyRedirects;
                                // the https address a kCannotConnect failed on
    ConnectionTrouble trouble;      // why the connection to url (or its proxy) could not be made;
                                    // its setting, whenever the request failed
};

// A first request that no server answers within this long fails; a line
// that carries the file no further for kGiveUpSeconds, across attempts, is
// given up: bytes that only arrive again, below the furthest point the file
// has reached, do not keep it alive.
const uint32_t kFirstContactSeconds = 30;
const uint32_t kGiveUpSeconds = 120;
const int kMaxRedirects = 5;
