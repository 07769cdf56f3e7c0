#define VESK_SOURCE_NAME "Datasource/src/DSDocumentUtilities"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "DSDocument.h"
#include "datasrc.h"
#include "vesk_assert.h"

namespace {

constexpr size_t kLineBytes = 80;
constexpr int kDocumentsType = 0;
const char kDatePrefix[] = "   (Entered ";
constexpr size_t kDatePrefixBytes = sizeof kDatePrefix - 1;  // 12

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kMonthsUpper[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                      "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }

int FindMonth(const char* const table[12], const char* text) {
    for (int i = 0; i < 12; ++i)
        if (std::memcmp(table[i], text, 3) == 0) return i + 1;
    return 0;
}

// Sets the document's date from a date line. A line the parser cannot take
// leaves the date unset; the line stays in the document either way.
void ParseDateLine(const std::string& line, DSDocument& doc) {
    size_t end = line.rfind(')');
    if (end == std::string::npos || end < kDatePrefixBytes) end = line.size();
    std::string cleaned;
    for (size_t i = kDatePrefixBytes; i < end; ++i) {
        char c = line[i];
        if (IsAlnum(c))
            cleaned += c;
        else if (c == ' ' || c == '-')
            cleaned += '-';
    }
    if (cleaned.size() == 11) cleaned.erase(7, 2);  // dd-Mon-yyyy: drop the century
    if (cleaned.size() <= 8) return;
    if (!IsDigit(cleaned[0]) || !IsDigit(cleaned[1]) || !IsDigit(cleaned[7]) || !IsDigit(cleaned[8])) return;
    int day = (cleaned[0] - '0') * 10 + (cleaned[1] - '0');
    int year = (cleaned[7] - '0') * 10 + (cleaned[8] - '0');
    const char month3[3] = {Upper(cleaned[3]), Upper(cleaned[4]), Upper(cleaned[5])};
    int month = FindMonth(kMonths, month3);
    if (month == 0) month = FindMonth(kMonthsUpper, month3);
    if (month == 0 || day < 1 || day > 31) return;
    doc.Day(day);
    doc.Month(month);
    doc.Year(year);
}

// Reads one document from content at pos: lines up to and including its date
// line, then passes over the separator line. Lines not closed by a date line
// make a document without a date; an empty document means the end.
DSDocument ReadDocument(const std::string& content, size_t& pos) {
    DSDocument doc;
    while (pos + kLineBytes <= content.size()) {
        std::string line = content.substr(pos, kLineBytes);
        pos += kLineBytes;
        doc.AddLine(line);
        if (line.compare(0, kDatePrefixBytes, kDatePrefix) == 0) {
            ParseDateLine(line, doc);
            if (pos + kLineBytes <= content.size()) pos += kLineBytes;
            break;
        }
    }
    return doc;
}

std::string Padded(const std::string& line) {
    std::string out = line.substr(0, kLineBytes);
    out.resize(kLineBytes, ' ');
    return out;
}

}  // namespace

void AddDateLine(DSDocument& doc) {
    int year = doc.Year() % 10000;
    if (year < 0) year += 10000;
    char text[32];
    std::snprintf(text, sizeof text, "%s%02d-%s-%04d)", kDatePrefix, doc.Day() % 100, kMonths[doc.Month() - 1], year);
    doc.AddLine(text);
}

void SaveDocuments(const std::vector<DSDocument>& docs, VESK_DataSource& source) {
    source.SetExtension(kDocumentsType, 1, 0, nullptr);
    bool created = false;
    auto append = [&](const std::string& line) {
        if (!created) {
            source.SetExtension(kDocumentsType, 1, long(kLineBytes), line.data());
            created = true;
        } else {
            source.ExtendExtension(kDocumentsType, long(kLineBytes), line.data());
        }
    };
    const std::string separator(kLineBytes, ' ');
    for (const DSDocument& doc : docs) {
        // A document without lines cannot be read back; it is left out.
        if (doc.Size() == 0) continue;
        if (created) append(separator);
        for (int i = 0; i < doc.Size(); ++i) append(Padded(doc[i]));
    }
}

std::vector<DSDocument> GetDocuments(const VESK_DataSource& source) {
    std::vector<DSDocument> docs;
    if (!source.HasExtension(kDocumentsType)) return docs;
    VESK_DataSource::Extension ext(source, kDocumentsType);
    long bytes = long(ext.ElementSize()) * ext.Length();
    VESK_ASSERT(bytes%80 == 0);
    const std::string& content = ext.Impl()->Elements();
    size_t pos = 0;
    for (;;) {
        DSDocument doc = ReadDocument(content, pos);
        if (doc.Size() == 0) break;
        docs.push_back(doc);
    }
    return docs;
}

void DeDup(std::vector<DSDocument>& docs) {
    std::stable_sort(docs.begin(), docs.end());
    docs.erase(std::unique(docs.begin(), docs.end()), docs.end());
}
