// Writes the program's built-in trust anchors as C++ source, at build time,
// from the roots that Debian's ca-certificates ships: the list in the repo
// names them, this tool takes their names and keys from the certificates
// themselves, decoded by BearSSL's own decoders, so nothing is copied by hand.
//   make_anchors LIST CERT_FOLDER OUT.cpp
// Fails, naming it, when a listed root is not among the certificates.
#include <bearssl.h>
#include <dirent.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

struct Root {
    std::string certFile;
    Bytes dn;
    int keyType = 0;
    Bytes n, e;         // RSA
    int curve = 0;      // EC
    Bytes q;
    uint32_t notAfterDays = 0;  // since 1 January of year 0
};

struct Listed {
    std::string name;    // the subject's CN, or its O when it has no CN
    std::string reason;
};

static void Die(const std::string &message)
{
    std::fprintf(stderr, "make_anchors: %s\n", message.c_str());
    std::exit(1);
}

static std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        Die("cannot read " + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

static std::vector<Listed> ReadList(const std::string &path)
{
    std::vector<Listed> listed;
    std::istringstream lines(ReadFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        size_t tab = line.find('\t');
        if (tab == 0 || tab == std::string::npos)
            Die(path + ": not 'subject<TAB>reason': " + line);
        listed.push_back({line.substr(0, tab), line.substr(tab + 1)});
    }
    return listed;
}

static void AppendBytes(void *context, const void *data, size_t length)
{
    Bytes *out = static_cast<Bytes *>(context);
    const unsigned char *p = static_cast<const unsigned char *>(data);
    out->insert(out->end(), p, p + length);
}

// Every DER object of type CERTIFICATE in a PEM file.
static std::vector<Bytes> PemCertificates(const std::string &text)
{
    std::vector<Bytes> found;
    br_pem_decoder_context pem;
    br_pem_decoder_init(&pem);
    Bytes current;
    bool inCertificate = false;
    const char *p = text.data();
    size_t left = text.size();
    // A last newline closes a final line that has none.
    std::string tail = "\n";
    for (int pass = 0; pass < 2; pass++) {
        while (left > 0) {
            size_t used = br_pem_decoder_push(&pem, p, left);
            p += used;
            left -= used;
            switch (br_pem_decoder_event(&pem)) {
            case BR_PEM_BEGIN_OBJ:
                current.clear();
                inCertificate = std::string(br_pem_decoder_name(&pem)) == "CERTIFICATE";
                br_pem_decoder_setdest(&pem, inCertificate ? AppendBytes : nullptr, &current);
                break;
            case BR_PEM_END_OBJ:
                if (inCertificate)
                    found.push_back(current);
                inCertificate = false;
                break;
            case BR_PEM_ERROR:
                Die("bad PEM data");
            }
        }
        p = tail.data();
        left = tail.size();
    }
    return found;
}

// The value of the first attribute of type OID in a DER-encoded DN
// (SEQUENCE of SET of SEQUENCE { OID, string }), or "" when none.
static std::string DnAttribute(const Bytes &dn, const Bytes &oid)
{
    // One DER header at 'at': its tag, and where its content lies.
    auto header = [&](size_t at, size_t end, unsigned char *tag, size_t *start, size_t *stop) {
        if (at + 2 > end)
            return false;
        *tag = dn[at];
        size_t length = dn[at + 1], pos = at + 2;
        if (length & 0x80) {
            int count = length & 0x7F;
            if (count < 1 || count > 3 || pos + count > end)
                return false;
            length = 0;
            while (count-- > 0)
                length = length << 8 | dn[pos++];
        }
        if (pos + length > end)
            return false;
        *start = pos;
        *stop = pos + length;
        return true;
    };
    unsigned char tag;
    size_t start, stop;
    if (!header(0, dn.size(), &tag, &start, &stop) || tag != 0x30)
        return "";
    for (size_t set = start, setStart, setStop; set < stop; set = setStop) {
        if (!header(set, stop, &tag, &setStart, &setStop) || tag != 0x31)
            return "";
        for (size_t pair = setStart, pairStart, pairStop; pair < setStop; pair = pairStop) {
            size_t oidStart, oidStop, valueStart, valueStop;
            if (!header(pair, setStop, &tag, &pairStart, &pairStop) || tag != 0x30 ||
                !header(pairStart, pairStop, &tag, &oidStart, &oidStop) || tag != 0x06 ||
                !header(oidStop, pairStop, &tag, &valueStart, &valueStop))
                return "";
            if (Bytes(dn.begin() + oidStart, dn.begin() + oidStop) == oid)
                return std::string(dn.begin() + valueStart, dn.begin() + valueStop);
        }
    }
    return "";
}

static std::string SubjectName(const Bytes &dn)
{
    std::string cn = DnAttribute(dn, {0x55, 0x04, 0x03});
    return cn.empty() ? DnAttribute(dn, {0x55, 0x04, 0x0A}) : cn;
}

static bool DecodeRoot(const Bytes &der, Root *root)
{
    br_x509_decoder_context x509;
    br_x509_decoder_init(&x509, AppendBytes, &root->dn);
    br_x509_decoder_push(&x509, der.data(), der.size());
    const br_x509_pkey *key = br_x509_decoder_get_pkey(&x509);
    if (!key || !br_x509_decoder_isCA(&x509))
        return false;
    root->keyType = key->key_type;
    if (key->key_type == BR_KEYTYPE_RSA) {
        const br_rsa_public_key &rsa = key->key.rsa;
        root->n.assign(rsa.n, rsa.n + rsa.nlen);
        root->e.assign(rsa.e, rsa.e + rsa.elen);
    } else if (key->key_type == BR_KEYTYPE_EC) {
        root->curve = key->key.ec.curve;
        root->q.assign(key->key.ec.q, key->key.ec.q + key->key.ec.qlen);
    } else {
        return false;
    }
    root->notAfterDays = x509.notafter_days;
    return true;
}

static std::vector<Root> ReadRoots(const std::string &folder)
{
    DIR *dir = opendir(folder.c_str());
    if (!dir)
        Die("cannot open " + folder);
    std::vector<std::string> names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".crt") == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    std::vector<Root> roots;
    for (const std::string &name : names) {
        for (const Bytes &der : PemCertificates(ReadFile(folder + "/" + name))) {
            Root root;
            root.certFile = name;
            if (DecodeRoot(der, &root))
                roots.push_back(root);
        }
    }
    return roots;
}

static const Root &FindRoot(const std::vector<Root> &roots, const Listed &listed)
{
    const Root *found = nullptr;
    for (const Root &root : roots) {
        if (SubjectName(root.dn) != listed.name)
            continue;
        if (found)
            Die("two certificates are named '" + listed.name + "': " + found->certFile + " and " +
                root.certFile);
        found = &root;
    }
    if (!found)
        Die("no CA certificate named '" + listed.name + "' among the roots");
    return *found;
}

// BearSSL counts days from 1 January of year 0; the civil date by Howard
// Hinnant's days_from_civil, inverted.
static std::string Date(uint32_t bearDays)
{
    long z = long(bearDays) - 719528 + 719468;
    long era = z / 146097, doe = z - era * 146097;
    long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long doy = doe - (365 * yoe + yoe / 4 - yoe / 100), mp = (5 * doy + 2) / 153;
    long day = doy - (153 * mp + 2) / 5 + 1, month = mp < 10 ? mp + 3 : mp - 9;
    long year = yoe + era * 400 + (month <= 2);
    char text[40];
    std::snprintf(text, sizeof text, "%04ld-%02ld-%02ld", year, month, day);
    return text;
}

// A run of bytes in the one array that holds every name and key: one array,
// since the compiler aligns each array of 32 bytes or more to 32.
static std::string Place(std::FILE *out, const Bytes &bytes, size_t *offset)
{
    for (size_t i = 0; i < bytes.size(); i++)
        std::fprintf(out, "%s0x%02X,", i % 12 == 0 ? "\n    " : " ", bytes[i]);
    std::string place = "(unsigned char *)kAnchorBytes + " + std::to_string(*offset) + ", " +
                        std::to_string(bytes.size());
    *offset += bytes.size();
    return place;
}

static std::string CurveName(int curve)
{
    switch (curve) {
    case BR_EC_secp256r1: return "BR_EC_secp256r1";
    case BR_EC_secp384r1: return "BR_EC_secp384r1";
    case BR_EC_secp521r1: return "BR_EC_secp521r1";
    }
    return std::to_string(curve);
}

static std::string KeyDescription(const Root &root)
{
    if (root.keyType == BR_KEYTYPE_RSA)
        return "RSA " + std::to_string(root.n.size() * 8 - (root.n[0] ? 0 : 8));
    return "EC " + CurveName(root.curve).substr(6);
}

static void WriteSource(const std::string &path, const std::vector<Listed> &listed,
                        const std::vector<const Root *> &roots)
{
    std::FILE *out = std::fopen(path.c_str(), "w");
    if (!out)
        Die("cannot write " + path);
    std::fprintf(out, "// Made by resources/make_anchors.cpp from resources/anchors.txt; do not edit.\n"
                      "#include \"net/anchors.h\"\n\n"
                      "static const unsigned char kAnchorBytes[] = {");
    std::vector<std::string> entries;
    size_t offset = 0;
    for (size_t i = 0; i < roots.size(); i++) {
        const Root &root = *roots[i];
        std::fprintf(out, "\n    // %s (%s, %s, until %s)", listed[i].name.c_str(),
                     root.certFile.c_str(), KeyDescription(root).c_str(),
                     Date(root.notAfterDays).c_str());
        std::string entry = "    {{" + Place(out, root.dn, &offset) + "}, BR_X509_TA_CA, ";
        if (root.keyType == BR_KEYTYPE_RSA) {
            std::string n = Place(out, root.n, &offset);
            entry += "{BR_KEYTYPE_RSA, {.rsa = {" + n + ", " + Place(out, root.e, &offset) + "}}}},";
        } else {
            entry += "{BR_KEYTYPE_EC, {.ec = {" + CurveName(root.curve) + ", " +
                     Place(out, root.q, &offset) + "}}}},";
        }
        entries.push_back(entry);
    }
    std::fprintf(out, "\n};\n\nextern const br_x509_trust_anchor kBuiltInAnchors[] = {\n");
    for (const std::string &entry : entries)
        std::fprintf(out, "%s\n", entry.c_str());
    std::fprintf(out, "};\nextern const size_t kBuiltInAnchorCount = %zu;\n", roots.size());
    if (std::fclose(out) != 0)
        Die("cannot write " + path);
}

int main(int argc, char **argv)
{
    if (argc != 4)
        Die("usage: make_anchors LIST CERT_FOLDER OUT.cpp");
    std::vector<Listed> listed = ReadList(argv[1]);
    if (listed.empty())
        Die(std::string(argv[1]) + " lists no roots");
    std::vector<Root> all = ReadRoots(argv[2]);
    std::vector<const Root *> chosen;
    for (const Listed &entry : listed)
        chosen.push_back(&FindRoot(all, entry));
    WriteSource(argv[3], listed, chosen);
    return 0;
}
