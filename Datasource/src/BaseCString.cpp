#include "BaseCString.h"

#include <cstring>

#include "textmb.h"

namespace {

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int IndexOrMinusOne(size_t pos) { return pos == std::string::npos ? -1 : static_cast<int>(pos); }

}  // namespace

BaseCString::BaseCString() = default;
BaseCString::BaseCString(const std::string& s) : fStr(s) {}
BaseCString::BaseCString(const BaseCString& other) = default;
BaseCString::BaseCString(char c, int n) : fStr(n > 0 ? static_cast<size_t>(n) : 0, c) {}
BaseCString::BaseCString(const char* text) : fStr(text ? text : "") {}
BaseCString::BaseCString(const unsigned char* text) : BaseCString(reinterpret_cast<const char*>(text)) {}
BaseCString::BaseCString(const char* text, int n) {
    if (text != nullptr && n > 0) fStr.assign(text, static_cast<size_t>(n));
}
BaseCString::~BaseCString() = default;

BaseCString& BaseCString::operator=(char c) {
    fStr.assign(1, c);
    return *this;
}

BaseCString& BaseCString::operator=(const char* text) {
    fStr = text ? text : "";
    return *this;
}

BaseCString& BaseCString::operator=(const BaseCString& other) = default;

BaseCString& BaseCString::operator+=(const BaseCString& other) {
    fStr += other.fStr;
    return *this;
}

BaseCString& BaseCString::operator+=(const char* text) {
    if (text) fStr += text;
    return *this;
}

BaseCString& BaseCString::operator+=(char c) {
    fStr += c;
    return *this;
}

int BaseCString::Compare(const char* text) const { return Sign(fStr.compare(text ? text : "")); }

int BaseCString::CompareNoCase(const char* text) const { return Compare(text); }

int BaseCString::Collate(const char* text) const { return std::strcoll(fStr.c_str(), text ? text : ""); }

void BaseCString::MakeUpper() {
    // The platform call works on NUL-terminated text (and may shorten a text whose
    // upper case would be longer), so each NUL-separated piece is mapped alone.
    std::string result;
    result.reserve(fStr.size());
    size_t start = 0;
    for (;;) {
        size_t end = fStr.find('\0', start);
        std::string piece = fStr.substr(start, end == std::string::npos ? std::string::npos : end - start);
        VESKMBstrupr_A(piece.data());
        result.append(piece.c_str());
        if (end == std::string::npos) break;
        result += '\0';
        start = end + 1;
    }
    fStr.swap(result);
}

BaseCString BaseCString::Mid(int first, int count) const {
    const int len = GetLength();
    if (first < 0) first = 0;
    if (first >= len || count <= 0) return BaseCString();
    if (count > len - first) count = len - first;
    return BaseCString(fStr.substr(static_cast<size_t>(first), static_cast<size_t>(count)));
}

BaseCString BaseCString::Left(int count) const { return Mid(0, count); }

BaseCString BaseCString::Right(int count) const {
    const int len = GetLength();
    if (count > len) count = len;
    if (count <= 0) return BaseCString();
    return Mid(len - count, count);
}

BaseCString BaseCString::SpanExcluding(const char* set) const {
    const size_t pos = set ? fStr.find_first_of(set) : std::string::npos;
    if (pos == std::string::npos) return *this;
    return BaseCString(fStr.substr(0, pos + 1));
}

void BaseCString::TrimRight() {
    size_t n = fStr.size();
    while (n > 0) {
        const char c = fStr[n - 1];
        if (c != '\n' && c != ' ' && c != '\t' && c != '\0') break;
        --n;
    }
    fStr.resize(n);
}

char* BaseCString::GetBufferSetLength(int n) {
    const size_t want = n > 0 ? static_cast<size_t>(n) : 0;
    if (fStr.size() > want) fStr.resize(want);
    fStr.reserve(want);
    return fStr.data();
}

int BaseCString::Find(char c) const { return IndexOrMinusOne(fStr.find(c)); }

int BaseCString::Find(const char* set) const {
    return set ? IndexOrMinusOne(fStr.find_first_of(set)) : -1;
}

int BaseCString::ReverseFind(char c) const { return IndexOrMinusOne(fStr.rfind(c)); }
