// The byte coding of the system file's records.
#define VESK_SOURCE_NAME "Datasource/src/sysfilecoding"

#include "sysfilecoding.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "SystemFileException.h"
#include "dates.h"
#include "filestream.h"

namespace SysFileLayout {

// ---------------------------------------------------------------- layout code

bool LayoutCodeIsReversed(uint32_t layoutCodeAsRead) {
    return layoutCodeAsRead == 0 || layoutCodeAsRead > 255;
}

// ---------------------------------------------------------------- magic detection

namespace {

bool IsSystemFileMagic(const char* m) {
    return std::memcmp(m, kMagicPlain, kMagicSize) == 0 || std::memcmp(m, kMagicZlib, kMagicSize) == 0;
}

}  // namespace

int FileKindOfBytes(const void* bytes, size_t size) {
    const char* b = static_cast<const char*>(bytes);
    if (size >= kMagicSize) {
        if (std::memcmp(b, kMagicPlain, kMagicSize) == 0) return kFL2;
        if (std::memcmp(b, kMagicZlib, kMagicSize) == 0) return kFL3;
    }
    if (size >= kEncryptedMagicOffset + kEncryptedMagicSize &&
        std::memcmp(b + kEncryptedMagicOffset, kEncryptedMagic, kEncryptedMagicSize) == 0)
        return kENCRYPTED;
    return -1;
}

int DetectFileKind(VESK_StrBaseIO& stream) {
    char magic[kMagicSize + 1] = {};
    size_t nRead = stream.Read(magic, kMagicSize);
    SF_REQUIRE(nRead == 4, DatasrcMsg::ShortRead);
    if (IsSystemFileMagic(magic)) return magic[3] == kMagicPlain[3] ? kFL2 : kFL3;
    char skipped[kEncryptedMagicOffset - kMagicSize];
    nRead = stream.Read(skipped, sizeof skipped);
    SF_REQUIRE(nRead == 4, DatasrcMsg::ShortRead);
    char magic2[kEncryptedMagicSize + 1] = {};
    nRead = stream.Read(magic2, kEncryptedMagicSize);
    SF_REQUIRE(nRead == 12, DatasrcMsg::ShortRead);
    SF_REQUIRE(std::string(magic) == "$FL2" || std::string(magic) == "$FL3" ||
                   std::string( magic2 ) == "ENCRYPTEDSAV",
               DatasrcMsg::Malformed);
    return kENCRYPTED;
}

// ---------------------------------------------------------------- format words

uint32_t EncodeFormatWord(int type, int width, int decimals) {
    const uint32_t w = uint32_t(width) & 0xFFFFu;
    const uint32_t t = uint32_t(type) & 0xFFu;
    if (type == VESK_Variable_Enumerations::eFmtString) return (w >> 8) | ((w & 0xFFu) << 8) | (t << 16);
    return (uint32_t(decimals) & 0xFFu) | ((w & 0xFFu) << 8) | (t << 16);
}

uint32_t EncodeFormatWord(const VESK_Format& f) { return EncodeFormatWord(f.code, f.width, f.decimals); }

VESK_Format DecodeFormatWord(uint32_t word) {
    const int type = int((word >> 16) & 0xFFu);
    const int byte0 = int(word & 0xFFu);
    const int byte1 = int((word >> 8) & 0xFFu);
    if (type == VESK_Variable_Enumerations::eFmtString) return VESK_Format(type, byte1 + 256 * byte0, 0);
    int width = byte1;
    if (type != VESK_Variable_Enumerations::eFmtHexString && width > 40) width = 40;
    return VESK_Format(type, width, byte0);
}

// ---------------------------------------------------------------- date and time

namespace {

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Two characters as a number: two digits, or a space and a digit; -1 otherwise.
long TwoDigits(const char* p) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    if (digit(p[0]) && digit(p[1])) return (p[0] - '0') * 10 + (p[1] - '0');
    if (p[0] == ' ' && digit(p[1])) return p[1] - '0';
    return -1;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

}  // namespace

void FormatCreationDateTime(std::time_t when, char date[kDateSize], char time[kTimeSize]) {
    if (when < 86400) when = 86400;
    std::tm tm{};
    localtime_r(&when, &tm);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d %-3.3s %02d", tm.tm_mday, kMonths[tm.tm_mon % 12],
                  tm.tm_year % 100);
    std::memcpy(date, buf, kDateSize);
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::memcpy(time, buf, kTimeSize);
}

double ParseCreationDateTime(const char date[kDateSize], const char time[kTimeSize]) {
    const long day = TwoDigits(date);
    const long yy = TwoDigits(date + 7);
    const long hour = TwoDigits(time);
    const long minute = TwoDigits(time + 3);
    const long second = TwoDigits(time + 6);
    if (day < 0 || yy < 0 || hour < 0 || minute < 0 || second < 0) return 0.0;
    long month = 13;  // no name matched: the conversion rejects it
    for (int m = 0; m < 12; ++m) {
        if (LowerAscii(date[3]) == LowerAscii(kMonths[m][0]) && LowerAscii(date[4]) == kMonths[m][1] &&
            LowerAscii(date[5]) == kMonths[m][2]) {
            month = m + 1;
            break;
        }
    }
    long year = 1900 + yy;
    if (year < 1970) year += 100;
    double result = 0.0;
    if (!iDMY2Vesk(day, month, year, hour, minute, double(second), &result)) return 0.0;
    return result;
}

}  // namespace SysFileLayout

using namespace SysFileLayout;

// ---------------------------------------------------------------- header record

namespace {

// Copies text into a field of `size` bytes, cut or padded with spaces.
void PutPadded(unsigned char* out, const std::string& text, size_t size) {
    const size_t n = std::min(text.size(), size);
    std::memcpy(out, text.data(), n);
    std::memset(out + n, ' ', size - n);
}

}  // namespace

SystemFileHeader::SystemFileHeader() : product(kProductText) {
    std::memcpy(magic, kMagicPlain, kMagicSize);
    std::memset(date, ' ', sizeof date);
    std::memset(time, ' ', sizeof time);
}

void SystemFileHeader::Encode(unsigned char out[kHeaderSize], ByteOrder order) const {
    std::memcpy(out + kOffMagic, magic, kMagicSize);
    PutPadded(out + kOffProduct, product, kProductSize);
    order.PutI32(out + kOffLayoutCode, layoutCode);
    order.PutI32(out + kOffNominalCaseSize, nominalCaseSize);
    order.PutI32(out + kOffCompression, compression);
    order.PutI32(out + kOffWeightIndex, weightIndex);
    order.PutI32(out + kOffCaseCount, caseCount);
    order.PutF64(out + kOffBias, bias);
    std::memcpy(out + kOffDate, date, kDateSize);
    std::memcpy(out + kOffTime, time, kTimeSize);
    PutPadded(out + kOffLabel, label, kLabelSize);
    std::memset(out + kOffPadding, 0, kPaddingSize);
}

ByteOrder SystemFileHeader::Decode(const unsigned char in[kHeaderSize]) {
    const ByteOrder order(LayoutCodeIsReversed(ByteOrder::Native().GetU32(in + kOffLayoutCode)));
    std::memcpy(magic, in + kOffMagic, kMagicSize);
    product.assign(reinterpret_cast<const char*>(in + kOffProduct), kProductSize);
    layoutCode = order.GetI32(in + kOffLayoutCode);
    nominalCaseSize = order.GetI32(in + kOffNominalCaseSize);
    compression = order.GetI32(in + kOffCompression);
    weightIndex = order.GetI32(in + kOffWeightIndex);
    caseCount = order.GetI32(in + kOffCaseCount);
    bias = order.GetF64(in + kOffBias);
    std::memcpy(date, in + kOffDate, kDateSize);
    std::memcpy(time, in + kOffTime, kTimeSize);
    label.assign(reinterpret_cast<const char*>(in + kOffLabel), kLabelSize);
    return order;
}

// ---------------------------------------------------------------- variable record

SystemFileVariableRecord::SystemFileVariableRecord() { std::memset(name, ' ', sizeof name); }

SystemFileVariableRecord SystemFileVariableRecord::Continuation() {
    SystemFileVariableRecord r;
    r.type = kContinuationType;
    r.printFormat = r.writeFormat = kContinuationFormat;
    return r;
}

// The layout's offsets count from the start of the record; the fixed fields follow the type word.
void SystemFileVariableRecord::Encode(unsigned char out[kVarFixedSize], ByteOrder order) const {
    auto at = [out](size_t recordOffset) { return out + (recordOffset - kRecordTypeSize); };
    order.PutI32(at(kVarOffType), type);
    order.PutI32(at(kVarOffHasLabel), hasLabel);
    order.PutI32(at(kVarOffMissingCount), missingCount);
    order.PutU32(at(kVarOffPrintFormat), printFormat);
    order.PutU32(at(kVarOffWriteFormat), writeFormat);
    std::memcpy(at(kVarOffName), name, kVarNameSize);
}

void SystemFileVariableRecord::Decode(const unsigned char in[kVarFixedSize], ByteOrder order) {
    auto at = [in](size_t recordOffset) { return in + (recordOffset - kRecordTypeSize); };
    type = order.GetI32(at(kVarOffType));
    hasLabel = order.GetI32(at(kVarOffHasLabel));
    missingCount = order.GetI32(at(kVarOffMissingCount));
    printFormat = order.GetU32(at(kVarOffPrintFormat));
    writeFormat = order.GetU32(at(kVarOffWriteFormat));
    std::memcpy(name, at(kVarOffName), kVarNameSize);
}

std::string SystemFileVariableRecord::Name() const {
    size_t n = kVarNameSize;
    while (n > 0 && name[n - 1] == ' ') --n;
    return std::string(name, n);
}

void SystemFileVariableRecord::SetName(const std::string& text) {
    PutPadded(reinterpret_cast<unsigned char*>(name), text, kVarNameSize);
}
