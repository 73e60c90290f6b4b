#include "net/tls_stream.h"

#include <string.h>

#include <vector>

#include "net/anchor_file.h"
#include "net/anchors.h"
#include "net/certificate_names.h"
#include "net/program_folder.h"
#include "net/tls_profile.h"

namespace {

// A chain is never longer than this in practice; what comes after is
// still validated, only not kept for the box.
const size_t kKeptCertificates = 8;

// BearSSL's validator, with a copy of the chain kept so that a failure can
// name the issuer, the certificate's name and its dates.
struct ChainKeeper {
    const br_x509_class *vtable;
    br_x509_minimal_context minimal;
    std::vector<std::string> chain;
};

ChainKeeper *Keeper(const br_x509_class **context)
{
    return reinterpret_cast<ChainKeeper *>(context);
}

const br_x509_class **Inner(const br_x509_class **context)
{
    return &Keeper(context)->minimal.vtable;
}

void StartChain(const br_x509_class **context, const char *serverName)
{
    Keeper(context)->chain.clear();
    (*Inner(context))->start_chain(Inner(context), serverName);
}

void StartCertificate(const br_x509_class **context, uint32_t length)
{
    std::vector<std::string> &chain = Keeper(context)->chain;
    if (chain.size() < kKeptCertificates)
        chain.emplace_back();
    (*Inner(context))->start_cert(Inner(context), length);
}

void Append(const br_x509_class **context, const unsigned char *data, size_t size)
{
    std::vector<std::string> &chain = Keeper(context)->chain;
    if (!chain.empty() && chain.back().size() < 65536)
        chain.back().append(reinterpret_cast<const char *>(data), size);
    (*Inner(context))->append(Inner(context), data, size);
}

void EndCertificate(const br_x509_class **context)
{
    (*Inner(context))->end_cert(Inner(context));
}

unsigned EndChain(const br_x509_class **context)
{
    return (*Inner(context))->end_chain(Inner(context));
}

const br_x509_pkey *PublicKey(const br_x509_class *const *context, unsigned *usages)
{
    const ChainKeeper *keeper = reinterpret_cast<const ChainKeeper *>(context);
    return keeper->minimal.vtable->get_pkey(&keeper->minimal.vtable, usages);
}

const br_x509_class kChainKeeperClass = {
    sizeof(ChainKeeper), StartChain, StartCertificate, Append, EndCertificate, EndChain, PublicKey,
};

// The anchors: the built-in roots, then every *.crt beside the program.
// Read once per run; files that hold no certificate are remembered, to be
// named when a verification fails. Made when first needed and kept to the
// end, as the sessions below are: neither costs a static constructor.
struct Trust {
    AnchorStore store;
    std::vector<std::string> skipped;
};
Trust *g_trust;

// A certificate file is small; anything past a megabyte is not one.
std::string FileContents(const std::string &path)
{
    std::string contents;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0,
                              NULL);
    if (file == INVALID_HANDLE_VALUE)
        return contents;
    const DWORD size = GetFileSize(file, NULL);
    DWORD read = 0;
    if (size != INVALID_FILE_SIZE && size <= 1024 * 1024) {
        contents.resize(size);
        if (!ReadFile(file, &contents[0], size, &read, NULL))
            read = 0;
        contents.resize(read);
    }
    CloseHandle(file);
    return contents;
}

const Trust &LoadTrust()
{
    if (g_trust)
        return *g_trust;
    g_trust = new Trust();
    g_trust->store.anchors.assign(kBuiltInAnchors, kBuiltInAnchors + kBuiltInAnchorCount);
    const std::string beside = ProgramFolder();
    const std::string folder = beside.empty() ? beside : beside + "\\";
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "*.crt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return *g_trust;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!AddAnchorsFrom(FileContents(folder + found.cFileName), &g_trust->store))
            g_trust->skipped.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return *g_trust;
}

// The session of each host reached in this run, offered again on the next
// connection to it, so that a 486 pays for a full handshake once per host;
// and whether the host refused a ClientHello that offered x25519 alone.
struct Session {
    std::string host;
    br_ssl_session_parameters parameters;  // none yet while session_id_len is 0
    bool allCurves;
};
const unsigned kSessions = 4;
Session *g_sessions;
unsigned g_nextSession;

Session *SessionOf(const std::string &host)
{
    for (unsigned i = 0; g_sessions && i < kSessions; ++i)
        if (g_sessions[i].host == host)
            return &g_sessions[i];
    return NULL;
}

Session *SessionFor(const std::string &host)
{
    if (!g_sessions)
        g_sessions = new Session[kSessions]();
    Session *session = SessionOf(host);
    if (!session) {
        session = &g_sessions[g_nextSession++ % kSessions];
        *session = Session();
        session->host = host;
    }
    return session;
}

template <typename Value>
void Mix(br_sha256_context *pool, const Value &value)
{
    br_sha256_update(pool, &value, sizeof value);
}

// Seed for BearSSL's HMAC-DRBG. CryptGenRandom is there from Windows 95
// OSR2 and Internet Explorer 3.02 on, so it is looked up, never imported;
// the timers and the state of the system are mixed in always, so that even
// a first Windows 95 never starts two runs from the same seed.
void GatherEntropy(unsigned char seed[32])
{
    br_sha256_context pool;
    br_sha256_init(&pool);
    if (HMODULE advapi = LoadLibraryA("ADVAPI32.DLL")) {
        typedef BOOL(WINAPI * Acquire)(ULONG_PTR *, LPCSTR, LPCSTR, DWORD, DWORD);
        typedef BOOL(WINAPI * Generate)(ULONG_PTR, DWORD, BYTE *);
        typedef BOOL(WINAPI * Release)(ULONG_PTR, DWORD);
        Acquire acquire = reinterpret_cast<Acquire>(
            reinterpret_cast<void (*)()>(GetProcAddress(advapi, "CryptAcquireContextA")));
        Generate generate = reinterpret_cast<Generate>(
            reinterpret_cast<void (*)()>(GetProcAddress(advapi, "CryptGenRandom")));
        Release release = reinterpret_cast<Release>(
            reinterpret_cast<void (*)()>(GetProcAddress(advapi, "CryptReleaseContext")));
        ULONG_PTR provider = 0;
        BYTE random[32];
        if (acquire && generate && release &&
            acquire(&provider, NULL, NULL, 1 /* PROV_RSA_FULL */, 0xF0000000 /* VERIFYCONTEXT */)) {
            if (generate(provider, sizeof random, random))
                br_sha256_update(&pool, random, sizeof random);
            release(provider, 0);
        }
        FreeLibrary(advapi);
    }
    SYSTEMTIME now;
    GetSystemTime(&now);
    Mix(&pool, now);
    Mix(&pool, GetCurrentProcessId());
    Mix(&pool, GetCurrentThreadId());
    MEMORYSTATUS memory = {};
    memory.dwLength = sizeof memory;
    GlobalMemoryStatus(&memory);
    Mix(&pool, memory);
    POINT cursor = {};
    GetCursorPos(&cursor);
    Mix(&pool, cursor);
    // The jitter of the timers around giving up the processor.
    for (int i = 0; i < 64; ++i) {
        LARGE_INTEGER counter;
        QueryPerformanceCounter(&counter);
        Mix(&pool, counter);
        Mix(&pool, GetTickCount());
        Sleep(0);
    }
    br_sha256_out(&pool, seed);
}

// Today as BearSSL counts, unless the clock reads a day before the program
// was built: then the build's day.
void Today(uint32_t *day, uint32_t *seconds)
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    const uint32_t clock = DaysFromCivil(now.wYear, now.wMonth, now.wDay);
    *day = ValidationDay(clock, PELMORA_BUILD_DAY);
    *seconds = *day == clock ? now.wHour * 3600u + now.wMinute * 60u + now.wSecond : 0;
}

}  // namespace

struct TlsState {
    br_ssl_client_context client;
    ChainKeeper x509;
    br_sslio_context io;
    std::unique_ptr<unsigned char[]> buffer;
    ConnectionRead read;
    ConnectionWrite write;
    void *connection;
    DWORD connectionError;  // what the connection last failed with
    bool closed;            // the peer closed the connection
    bool betweenRecords;    // and it did so where a record could end
    bool allCurves;         // the ClientHello offered every curve, not x25519 alone
    std::string host;
    uint32_t day;
};

namespace {

int ReadRecords(void *context, unsigned char *data, size_t size)
{
    TlsState *s = static_cast<TlsState *>(context);
    size_t got = 0;
    s->connectionError = s->read(s->connection, data, size, &got);
    if (s->connectionError)
        return -1;
    if (got == 0) {
        const br_ssl_engine_context &engine = s->client.eng;
        s->closed = true;
        s->betweenRecords = engine.ixa == 0 && engine.ixb == 0 && engine.ixc == 5;
        return -1;
    }
    return static_cast<int>(got);
}

int WriteRecords(void *context, const unsigned char *data, size_t size)
{
    TlsState *s = static_cast<TlsState *>(context);
    s->connectionError = s->write(s->connection, data, size);
    return s->connectionError ? -1 : static_cast<int>(size);
}

bool SpeaksNothingInCommon(int error)
{
    const int alert = error - BR_ERR_RECV_FATAL_ALERT;
    return error == BR_ERR_UNSUPPORTED_VERSION || error == BR_ERR_BAD_VERSION ||
           error == BR_ERR_BAD_CIPHER_SUITE || error == BR_ERR_BAD_COMPRESSION ||
           alert == 40 /* handshake_failure */ || alert == 70 /* protocol_version */ ||
           alert == 71 /* insufficient_security */;
}

// The dates of the first certificate in the chain that is not valid on day.
void FillDates(const std::vector<std::string> &chain, uint32_t day, ConnectionTrouble *trouble)
{
    for (const std::string &der : chain) {
        CertificateNames names;
        if (!ReadCertificateNames(reinterpret_cast<const unsigned char *>(der.data()), der.size(),
                                  &names))
            continue;
        if (day > names.notAfter || day < names.notBefore) {
            trouble->kind = day > names.notAfter ? ConnectionTrouble::kExpired : ConnectionTrouble::kNotYetValid;
            trouble->certificateDay = day > names.notAfter ? names.notAfter : names.notBefore;
            return;
        }
    }
}

CertificateNames NamesOf(const std::string &der)
{
    CertificateNames names;
    ReadCertificateNames(reinterpret_cast<const unsigned char *>(der.data()), der.size(), &names);
    return names;
}

}  // namespace

TlsStream::TlsStream(ConnectionRead read, ConnectionWrite write, void *connection)
    : state_(new TlsState())
{
    state_->buffer.reset(new unsigned char[BR_SSL_BUFSIZE_BIDI]);
    state_->read = read;
    state_->write = write;
    state_->connection = connection;
}

// Says goodbye with a close_notify where the connection still works:
// servers built on OpenSSL forget a session that ended without one, and
// the next connection to the host would pay for a whole handshake again.
TlsStream::~TlsStream()
{
    TlsState *s = state_.get();
    const unsigned open = BR_SSL_SENDAPP | BR_SSL_RECVAPP;
    if (s->connectionError || s->closed || !(br_ssl_engine_current_state(&s->client.eng) & open))
        return;
    br_ssl_engine_close(&s->client.eng);
    for (unsigned state; (state = br_ssl_engine_current_state(&s->client.eng)) & BR_SSL_SENDREC;) {
        size_t size;
        unsigned char *record = br_ssl_engine_sendrec_buf(&s->client.eng, &size);
        if (s->write(s->connection, record, size))
            return;
        br_ssl_engine_sendrec_ack(&s->client.eng, size);
    }
}

DWORD TlsStream::Start(const std::string &host)
{
    TlsState *s = state_.get();
    const Trust &trust = LoadTrust();
    s->host = host;
    trouble_ = ConnectionTrouble();
    trouble_.host = host;
    const Session *session = SessionOf(host);
    s->allCurves = session && session->allCurves;
    SetUpTlsClient(&s->client, &s->x509.minimal, trust.store.anchors.data(),
                   trust.store.anchors.size(), s->allCurves);
    s->x509.vtable = &kChainKeeperClass;
    br_ssl_engine_set_x509(&s->client.eng, &s->x509.vtable);
    uint32_t seconds;
    Today(&s->day, &seconds);
    br_x509_minimal_set_time(&s->x509.minimal, s->day, seconds);
    br_ssl_engine_set_buffer(&s->client.eng, s->buffer.get(), BR_SSL_BUFSIZE_BIDI, 1);
    unsigned char seed[32];
    GatherEntropy(seed);
    br_ssl_engine_inject_entropy(&s->client.eng, seed, sizeof seed);
    const bool resume = session && session->parameters.session_id_len > 0;
    if (resume)
        br_ssl_engine_set_session_parameters(&s->client.eng, &session->parameters);
    if (!br_ssl_client_reset(&s->client, host.c_str(), resume))
        return Failure(true);
    br_sslio_init(&s->io, &s->client.eng, ReadRecords, s, WriteRecords, s);
    if (br_sslio_flush(&s->io) != 0)
        return Failure(true);
    br_ssl_engine_get_session_parameters(&s->client.eng, &SessionFor(host)->parameters);
    return 0;
}

DWORD TlsStream::Send(const std::string &text)
{
    if (br_sslio_write_all(&state_->io, text.data(), text.size()) != 0 ||
        br_sslio_flush(&state_->io) != 0)
        return Failure(false);
    return 0;
}

DWORD TlsStream::Receive(char *into, size_t room, size_t *got)
{
    *got = 0;
    const int n = br_sslio_read(&state_->io, into, room);
    if (n > 0) {
        *got = n;
        return 0;
    }
    const int error = br_ssl_engine_last_error(&state_->client.eng);
    // Many servers close without a close_notify; where the close falls
    // between records the framing of the answer tells whether all came.
    if (error == BR_ERR_OK || (error == BR_ERR_IO && state_->closed && state_->betweenRecords))
        return 0;
    return Failure(false);
}

DWORD TlsStream::Failure(bool handshake)
{
    TlsState *s = state_.get();
    const int error = br_ssl_engine_last_error(&s->client.eng);
    if (error == BR_ERR_IO || error == BR_ERR_OK) {
        if (handshake && !s->connectionError)
            trouble_.kind = ConnectionTrouble::kBrokenOff;
        else if (handshake && s->connectionError == WSAETIMEDOUT)
            trouble_.kind = ConnectionTrouble::kNoAnswer;
        return s->connectionError ? s->connectionError : WSAECONNRESET;
    }
    trouble_.code = error;
    const std::vector<std::string> &chain = s->x509.chain;
    if (error == BR_ERR_X509_NOT_TRUSTED && !chain.empty()) {
        trouble_.kind = ConnectionTrouble::kUntrusted;
        trouble_.issuer = NamesOf(chain.back()).issuer;
    } else if (error == BR_ERR_X509_BAD_SERVER_NAME && !chain.empty()) {
        trouble_.kind = ConnectionTrouble::kWrongName;
        trouble_.name = NamesOf(chain.front()).subject;
    } else if (error == BR_ERR_X509_EXPIRED) {
        trouble_.kind = ConnectionTrouble::kExpired;
        trouble_.usedDay = s->day;
        FillDates(chain, s->day, &trouble_);
    } else if (SpeaksNothingInCommon(error)) {
        trouble_.kind = ConnectionTrouble::kNoCommonProtocol;
    } else if (error >= BR_ERR_RECV_FATAL_ALERT) {
        trouble_.kind = ConnectionTrouble::kBrokenOff;
    } else {
        trouble_.kind = ConnectionTrouble::kOther;
    }
    if (error >= BR_ERR_X509_OK && error < BR_ERR_RECV_FATAL_ALERT)
        trouble_.skippedFiles = g_trust->skipped;
    // A server from before x25519 finds nothing in common with a first
    // offer; the next connection to it offers all the curves.
    if (handshake && trouble_.kind == ConnectionTrouble::kNoCommonProtocol && !s->allCurves) {
        SessionFor(s->host)->allCurves = true;
        worthAnotherTry_ = true;
    }
    // A server that refuses us, or that we refuse, will do so again; a
    // handshake broken off, or a record spoilt later, is the line's trouble.
    if (!handshake || trouble_.kind == ConnectionTrouble::kBrokenOff)
        return WSAECONNRESET;
    return kRefusal | error;
}
