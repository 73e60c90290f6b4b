#include "net/certificate_names.h"

#include <string.h>

#include "net/tls_profile.h"

namespace {

// A run of DER bytes, read from the front.
struct Der {
    const unsigned char *at;
    size_t left;
};

// Takes the next element off *in: its tag and its contents.
bool Next(Der *in, unsigned *tag, Der *contents)
{
    if (in->left < 2)
        return false;
    *tag = in->at[0];
    size_t length = in->at[1];
    size_t head = 2;
    if (length & 0x80) {
        const size_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 3 || in->left < 2 + bytes)
            return false;
        length = 0;
        for (size_t i = 0; i < bytes; ++i)
            length = (length << 8) | in->at[2 + i];
        head += bytes;
    }
    if (length > in->left - head)
        return false;
    contents->at = in->at + head;
    contents->left = length;
    in->at += head + length;
    in->left -= head + length;
    return true;
}

bool Enter(Der *in, unsigned wanted, Der *contents)
{
    unsigned tag;
    return Next(in, &tag, contents) && tag == wanted;
}

const unsigned char kCommonName[] = {0x55, 0x04, 0x03};
const unsigned char kOrganisation[] = {0x55, 0x04, 0x0A};
const unsigned char kAltNames[] = {0x55, 0x1D, 0x11};

bool Is(const Der &oid, const unsigned char (&wanted)[3])
{
    return oid.left == 3 && memcmp(oid.at, wanted, 3) == 0;
}

// The value of the first attribute of a Name with the given type.
std::string Attribute(Der name, const unsigned char (&type)[3])
{
    Der set, pair, oid, value;
    unsigned tag;
    while (Enter(&name, 0x31, &set))
        while (Enter(&set, 0x30, &pair))
            if (Enter(&pair, 0x06, &oid) && Is(oid, type) && Next(&pair, &tag, &value))
                return std::string(reinterpret_cast<const char *>(value.at), value.left);
    return "";
}

std::string NameOf(const Der &name, const unsigned char (&first)[3],
                   const unsigned char (&second)[3])
{
    const std::string found = Attribute(name, first);
    return found.empty() ? Attribute(name, second) : found;
}

unsigned Digits(const unsigned char *at, int count)
{
    unsigned value = 0;
    for (int i = 0; i < count; ++i)
        value = value * 10 + (at[i] - '0');
    return value;
}

// UTCTime (two-digit years: 50 and on are 19xx) or GeneralizedTime.
bool Day(const Der &time, unsigned tag, uint32_t *day)
{
    const int yearDigits = tag == 0x17 ? 2 : 4;
    if ((tag != 0x17 && tag != 0x18) || time.left < size_t(yearDigits + 4))
        return false;
    for (int i = 0; i < yearDigits + 4; ++i)
        if (time.at[i] < '0' || time.at[i] > '9')
            return false;
    int year = Digits(time.at, yearDigits);
    if (tag == 0x17)
        year += year >= 50 ? 1900 : 2000;
    const unsigned month = Digits(time.at + yearDigits, 2), dayOfMonth = Digits(time.at + yearDigits + 2, 2);
    if (month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31)
        return false;
    *day = DaysFromCivil(year, month, dayOfMonth);
    return true;
}

// The first dNSName of a subjectAltName extension's value.
std::string FirstDnsName(Der value)
{
    Der names, name;
    unsigned tag;
    if (!Enter(&value, 0x30, &names))
        return "";
    while (Next(&names, &tag, &name))
        if (tag == 0x82)
            return std::string(reinterpret_cast<const char *>(name.at), name.left);
    return "";
}

std::string AltName(Der extensions)
{
    Der list, extension, oid, value;
    unsigned tag;
    if (!Enter(&extensions, 0x30, &list))
        return "";
    while (Enter(&list, 0x30, &extension)) {
        if (!Enter(&extension, 0x06, &oid) || !Is(oid, kAltNames))
            continue;
        while (Next(&extension, &tag, &value))
            if (tag == 0x04)
                return FirstDnsName(value);
    }
    return "";
}

}  // namespace

bool ReadCertificateNames(const unsigned char *der, size_t size, CertificateNames *names)
{
    Der in = {der, size}, certificate, tbs, skipped, issuer, validity, subject, time;
    unsigned tag;
    if (!Enter(&in, 0x30, &certificate) || !Enter(&certificate, 0x30, &tbs))
        return false;
    Der version = tbs;
    if (Next(&version, &tag, &skipped) && tag == 0xA0)
        tbs = version;
    if (!Enter(&tbs, 0x02, &skipped) || !Enter(&tbs, 0x30, &skipped) ||
        !Enter(&tbs, 0x30, &issuer) || !Enter(&tbs, 0x30, &validity) ||
        !Enter(&tbs, 0x30, &subject))
        return false;
    if (!Next(&validity, &tag, &time) || !Day(time, tag, &names->notBefore) ||
        !Next(&validity, &tag, &time) || !Day(time, tag, &names->notAfter))
        return false;
    names->issuer = NameOf(issuer, kCommonName, kOrganisation);
    names->subject.clear();
    Der part;
    while (Next(&tbs, &tag, &part))
        if (tag == 0xA3)
            names->subject = AltName(part);
    if (names->subject.empty())
        names->subject = NameOf(subject, kCommonName, kOrganisation);
    return true;
}
