// Kept free of windows.h so that it is unit-tested natively.
#include "fetch/words.h"

#include <algorithm>
#include <initializer_list>
#include <string_view>

#include "fetch/catalogue.h"
#include "net/text.h"
#include "net/tls_profile.h"

namespace {

// A text of many pieces, appended one by one: a long chain of + makes a new
// string at every step, and the code of each step adds up in a program
// that must fit in 160 KiB.
std::string Join(std::initializer_list<std::string_view> pieces)
{
    std::string text;
    for (std::string_view piece : pieces)
        text.append(piece.data(), piece.size());
    return text;
}

// Rounded up, so that a started file never shows 0 KB.
std::string Kilobytes(uint32_t bytes)
{
    return DecimalText(bytes / 1024 + (bytes % 1024 != 0)) + " KB";
}

// "0.3 KB/s" on the slowest line, "146 KB/s", "1.2 MB/s" on a fast one.
std::string RateText(uint32_t bytesPerSecond)
{
    const uint32_t tenths = bytesPerSecond / 1024 * 10 + (bytesPerSecond % 1024 * 10 + 512) / 1024;
    if (tenths < 100)
        return Join({DecimalText(tenths / 10), ".", DecimalText(tenths % 10), " KB/s"});
    if (tenths < 10000)
        return Join({DecimalText(tenths / 10), " KB/s"});
    const uint32_t mbTenths = (tenths + 512) / 1024;
    return Join({DecimalText(mbTenths / 10), ".", DecimalText(mbTenths % 10), " MB/s"});
}

std::string TimeLeftText(uint32_t seconds)
{
    if (seconds < 60)
        return Join({"about ", DecimalText(seconds), " s left"});
    if (seconds < 3600 && seconds % 60)
        return Join({"about ", DecimalText(seconds / 60), " min ", DecimalText(seconds % 60),
                     " s left"});
    if (seconds < 3600)
        return Join({"about ", DecimalText(seconds / 60), " min left"});
    return Join({"about ", DecimalText(seconds / 3600), " h ", DecimalText(seconds % 3600 / 60),
                 " min left"});
}

std::string Counts(const std::string &fileName, uint32_t received, uint32_t length)
{
    return Join({fileName, ": ", Kilobytes(received), length ? " of " : "",
                 length ? Kilobytes(length) : ""});
}

// "45 seconds", "2 minutes": how long a line has been tried.
std::string DurationText(uint32_t seconds)
{
    if (seconds < 90)
        return DecimalText(seconds) + (seconds == 1 ? " second" : " seconds");
    return DecimalText((seconds + 30) / 60) + " minutes";
}

// Where a request's files can come from when there is no network: the
// copies it looks for beside the program before it downloads.
std::string CopiesBesideText(const std::string &packageFileName)
{
    return Join({"Copies of ", kExtractorEntry.fileName, " and ", packageFileName,
                 " put beside Pelmora Downloader (on a floppy or CD, say) are used instead of "
                 "downloads."});
}

// A redirect to https that WININET's own SSL could not follow (a Windows
// without WSOCK32, so without the program's TLS): where it led, and what
// works there instead.
std::string SecureRedirectText(const DownloadOutcome &outcome, const std::string &fileName)
{
    return Join({"The server sent this request on to ", outcome.url,
                 ", a secure (https) address, and the secure connection to it could not be made "
                 "(error ", DecimalText(outcome.error), "). What works instead: an HTTP proxy on "
                 "the LAN that fetches https addresses for this PC, set in Internet Options; a "
                 "mirror on the LAN that serves the files over plain http; or ", fileName,
                 " put beside Pelmora Downloader."});
}

// Why the program's own TLS could not reach an https address, in words a
// user can act on.
std::string SecureFailureReason(const ConnectionTrouble &trouble)
{
    switch (trouble.kind) {
    case ConnectionTrouble::kUntrusted:
        return Join({"its certificate was issued by ", trouble.issuer,
                     ", which is not among the issuers Pelmora Downloader trusts. To trust it, "
                     "put its certificate (a .crt file) beside Pelmora Downloader."});
    case ConnectionTrouble::kWrongName:
        return Join({"its certificate is for ", trouble.name, ", not for ", trouble.host, "."});
    case ConnectionTrouble::kExpired:
    case ConnectionTrouble::kNotYetValid:
        return Join({trouble.kind == ConnectionTrouble::kExpired
                         ? "its certificate expired on "
                         : "its certificate is valid only from ",
                     DateText(trouble.certificateDay), ", and the date used is ",
                     DateText(trouble.usedDay), ". Please check that this PC's clock is right."});
    case ConnectionTrouble::kNoCommonProtocol:
        return "the server speaks none of the secure protocols Pelmora Downloader does (TLS 1.2 "
               "with ECDHE and ChaCha20-Poly1305 or AES-GCM); it may offer only TLS 1.0 or 1.1, "
               "RSA key exchange or CBC ciphers.";
    case ConnectionTrouble::kBrokenOff:
        return "the server broke off the handshake.";
    case ConnectionTrouble::kNoAnswer:
        return Join({"the server did not answer within ", DecimalText(kFirstContactSeconds),
                     " seconds."});
    default:
        return Join({"the secure protocol failed (", ErrorNumberText(trouble.code), ")."});
    }
}

std::string SecureFailureText(const DownloadOutcome &outcome)
{
    std::string text = Join({"The server sent this request on to ", outcome.url,
                             ", and the secure connection to ", outcome.trouble.host,
                             " could not be made: ", SecureFailureReason(outcome.trouble)});
    for (const std::string &file : outcome.trouble.skippedFiles)
        text += Join({" ", file, " beside Pelmora Downloader is not a certificate and was skipped."});
    return text;
}

// The proxy on the way, with where it was set, and what it did.
std::string ProxyFailureText(const ConnectionTrouble &trouble)
{
    const std::string proxy = Join({"The proxy ", trouble.proxy, " (set in ", trouble.source, ")"});
    const std::string answered = Join({DecimalText(trouble.status), " ", trouble.statusText});
    switch (trouble.kind) {
    case ConnectionTrouble::kProxyWantsPassword:
        return Join({proxy, " asked for a password (", answered,
                     "), which Pelmora Downloader does not send. Please let this PC use the "
                     "proxy without one, or set another."});
    case ConnectionTrouble::kProxyRefused:
        return Join({proxy, " would not open a connection to ", trouble.host, ":",
                     DecimalText(trouble.port), ": it answered ", answered, "."});
    case ConnectionTrouble::kProxyUnreachable:
        return Join({proxy, " could not be reached (error code ", DecimalText(trouble.code), ")."});
    default:  // kProxyNoAnswer
        return Join({proxy, " did not answer within ", DecimalText(kFirstContactSeconds),
                     " seconds."});
    }
}

// A proxy setting that could not be used, after the failure it may explain.
std::string SettingNote(const ConnectionTrouble &trouble)
{
    return trouble.setting.empty() ? std::string() : Join({" ", trouble.setting});
}

}  // namespace

// The progress window's status line

std::string CheckingText(const std::string &fileName)
{
    return "Checking " + fileName + "...";
}

std::string ProgressText(const std::string &fileName, uint32_t received, uint32_t length,
                         uint32_t bytesPerSecond)
{
    std::string text = Counts(fileName, received, length);
    if (bytesPerSecond) {
        text += ", ";
        text += RateText(bytesPerSecond);
        const uint32_t left = length > received ? length - received : 0;
        if (left) {
            text += ", ";
            text += TimeLeftText(left / bytesPerSecond + (left % bytesPerSecond != 0));
        }
    }
    return text;
}

std::string RetryText(const std::string &fileName, uint32_t received, uint32_t length,
                      uint32_t seconds)
{
    return Join({Counts(fileName, received, length), "; the line dropped, trying again in ",
                 DecimalText(seconds), " s"});
}

std::string CopyUsedText(const std::string &fileName, const char *where)
{
    return Join({fileName, ": the copy ", where, " is used"});
}

std::string ExtractingText(const std::string &fileName, const std::string &folder)
{
    return Join({"Extracting ", fileName, " into ", folder, "..."});
}

std::string DoneText(const std::string &fileName, uint32_t received)
{
    return Join({fileName, ": ", Kilobytes(received), ", done"});
}

// The boxes

const BoxWords kStartBox = {
    "It will now download and extract the specific file.\r\n Depending on the size of the file "
    "that can take up to a min.\r\n",
    "Start Task"};

namespace {

const BoxWords kEndingWords[] = {
    {NULL, NULL},  // kGoOn
    {"File downloaded and extracted successfully to: ", "Task succesfull"},
    {"No extract path selected.", "Skipping extraction."},
    {NULL, NULL},  // kUserCancelled
    {"Extract path not selected. Please select an extract path before downloading.", "Error"},
    {"The folder ", "Error"},
    {"The WINDIR environment variable is not set, so the Windows folder and its TEMP folder "
     "cannot be found. Nothing was downloaded.",
     "Error"},
    {"The Internet connection could not be set up, so ", "Error"},
    {"Failed to open URL: ", "Error"},
    {"Failed to open the output file for writing", "Error"},
    {"Checksum Failed", "Failed."},
    {"", "Error"},  // kExtractFailed: the details say it all
    // A transfer that failed was always told as a failed checksum, the
    // reason after it; it keeps that box.
    {"Checksum Failed", "Failed."},  // kTransferFailed
};
static_assert(sizeof kEndingWords / sizeof kEndingWords[0] == kTransferFailed + 1,
              "one box for each ending, in the order of the endings");

}  // namespace

BoxWords EndingWords(Ending ending)
{
    return kEndingWords[ending];
}

// The details of an ending, after its box's first words

std::string PercentInFolderText(const std::string &folder)
{
    return folder + " has a % in its name, which the command interpreter would change, so the "
                    "files would land in another folder. Please choose another folder.";
}

std::string NotDownloadedText(const std::string &fileName)
{
    return fileName + " was not downloaded.";
}

std::string NoNetworkText(const std::string &fileName, const std::string &packageFileName)
{
    return Join({fileName, " was not downloaded: this Windows has neither WININET.DLL (which "
                           "Internet Explorer installs) nor WSOCK32.DLL (which comes with "
                           "TCP/IP, from the Network control panel). ",
                 CopiesBesideText(packageFileName)});
}

std::string UrlFailedText(const DownloadOutcome &outcome, const std::string &url,
                          const std::string &fileName)
{
    const ConnectionTrouble &trouble = outcome.trouble;
    std::string why;
    if (trouble.kind >= ConnectionTrouble::kProxyWantsPassword)
        why = ProxyFailureText(trouble);
    else if (trouble.kind != ConnectionTrouble::kNone)
        why = SecureFailureText(outcome);
    else if (outcome.result == kSecureRedirect)
        why = SecureRedirectText(outcome, fileName);
    else
        why = Join({"Error code: ", DecimalText(outcome.error)});
    return Join({url, "\r\n\r\n", why, SettingNote(trouble)});
}

std::string TransferFailedText(const DownloadOutcome &outcome)
{
    const std::string setting = SettingNote(outcome.trouble);
    switch (outcome.result) {
    case kHttpStatus:
        return Join({"\r\n\r\nThe server answered ", DecimalText(outcome.status), " ",
                     outcome.statusText, ".", setting});
    case kTooManyRedirects:
        return Join({"\r\n\r\nThe server sent the request on more than ",
                     DecimalText(kMaxRedirects), " times; the last address was ", outcome.url,
                     ".", setting});
    default:  // kConnectionLost
        return Join({"\r\n\r\nThe connection was lost after ", DecimalText(outcome.received),
                     outcome.length ? " of " : "",
                     outcome.length ? DecimalText(outcome.length) : "", " bytes; ",
                     DecimalText(outcome.attempts), " attempts over ",
                     DurationText(outcome.silentSeconds), ".", setting});
    }
}

std::string CannotWriteText(const std::string &path, bool diskFull,
                            const std::string &systemWords)
{
    std::string shown = path;
    std::replace(shown.begin(), shown.end(), '/', '\\');
    return Join({"\r\n\r\nThe file could not be written to ", shown, ": ",
                 diskFull ? "the disk is full" : systemWords, "."});
}

std::string ExtractFailedText(const std::string &trouble, const std::string &fileName,
                              const std::string &folder)
{
    return Join({trouble, "\r\n\r\n", fileName, " was downloaded but could not be extracted to: ",
                 folder});
}

std::string FolderTooLongText(const std::string &folder)
{
    return Join({"The name of the folder ", folder,
                 " is too long for the command interpreter of Windows 95, 98 and Me, even in its "
                 "short 8.3 form: the files would land in another folder. Please choose a folder "
                 "with a shorter name."});
}

const char kExtractorNotStarted[] = "The extractor could not be started.";

std::string MissingFilesText(const ExtractCheck &check, const std::string &folder)
{
    if (!check.readable)
        return "The archive's table of contents could not be read, so the extracted files could "
               "not be checked.";
    const unsigned bad = check.missing + check.different;
    if (!bad)
        return "";
    return Join({DecimalText(bad), " of ", DecimalText(check.total),
                 check.total == 1 ? " file " : " files ", bad == 1 ? "is" : "are",
                 check.different ? " missing or different in " : " missing from ", folder,
                 ", the first is ", check.first, "."});
}

std::string ExtractorFailedText(uint32_t exitCode, const std::string &missing)
{
    return Join({"The extractor failed (exit code ", DecimalText(exitCode), ").",
                 missing.empty() ? "" : " ", missing});
}

// Anywhere

std::string ErrorNumberText(uint32_t error)
{
    return "error " + DecimalText(error);
}

std::string FolderChosenLine(const std::string &folder)
{
    return "Extract path selected: " + folder;
}
