#include "textout.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace vesk {

namespace {

// The end of the run of bytes from `from` that a JSON string holds as they
// are: printable ASCII but the double quote and the backslash.
size_t PlainJsonRun(std::string_view text, size_t from) {
    size_t i = from;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
        ++i;
    }
    return i;
}

}  // namespace

std::string FormatNumber(double value) {
    char buf[kMaxShortestBytes];
    return std::string(buf, PutShortest(buf, value));
}

std::string_view TrimRight(std::string_view text) {
    size_t n = text.size();
    while (n > 0 && text[n - 1] == ' ') --n;
    return text.substr(0, n);
}

size_t TextWidth(std::string_view text) {
    size_t n = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
    return n;
}

std::string ShortText(std::string_view text, size_t max) {
    if (max == 0 || TextWidth(text) <= max) return std::string(text);
    size_t chars = 0, end = 0;
    for (; end < text.size(); ++end)
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && ++chars == max) break;
    return std::string(text.substr(0, end)) + "\u2026";
}

void AppendColumns(std::string& out, const std::vector<std::vector<std::string>>& rows, size_t indent) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], TextWidth(row[i]));
    }
    for (const auto& row : rows) {
        std::string line(indent, ' ');
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(widths[i] - TextWidth(row[i]) + 2, ' ');
        }
        out += TrimRight(line);
        out += '\n';
    }
}

char* PutCsvField(char* to, std::string_view field, char delimiter) {
    bool quote = false;
    for (char c : field)
        if (c == delimiter || c == '"' || c == '\r' || c == '\n') {
            quote = true;
            break;
        }
    if (!quote) {
        if (!field.empty()) std::memcpy(to, field.data(), field.size());
        return to + field.size();
    }
    *to++ = '"';
    for (char c : field) {
        if (c == '"') *to++ = '"';
        *to++ = c;
    }
    *to++ = '"';
    return to;
}

namespace {

// Length of the valid UTF-8 sequence at the start of s, 0 when it is not one
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t Utf8SequenceLength(std::string_view s) {
    const auto b = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char c = b(0);
    size_t n;
    unsigned lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() < n) return 0;
    if (b(1) < lo || b(1) > hi) return 0;
    for (size_t i = 2; i < n; ++i)
        if (b(i) < 0x80 || b(i) > 0xBF) return 0;
    return n;
}

}  // namespace

std::string ValidUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const size_t n = Utf8SequenceLength(text.substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.substr(i, n));
            i += n;
        }
    }
    return out;
}

namespace {

// Calls put with the pieces of text as a JSON string literal, quotes
// included. Bytes that do not form valid UTF-8 become U+FFFD.
template <class Put>
void EscapeJson(std::string_view text, Put&& put) {
    static const char kHex[] = "0123456789abcdef";
    put("\"");
    size_t i = 0;
    while (i < text.size()) {
        // A run of printable ASCII other than the quote and the backslash goes as it is.
        const size_t plain = PlainJsonRun(text, i);
        if (plain > i) {
            put(text.substr(i, plain - i));
            i = plain;
            if (i == text.size()) break;
        }
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            const size_t n = Utf8SequenceLength(text.substr(i));
            if (n == 0) {
                put("\xEF\xBF\xBD");  // U+FFFD for a byte that starts no valid sequence
                ++i;
            } else {
                put(text.substr(i, n));
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"': put("\\\""); break;
            case '\\': put("\\\\"); break;
            case '\n': put("\\n"); break;
            case '\r': put("\\r"); break;
            case '\t': put("\\t"); break;
            case '\b': put("\\b"); break;
            case '\f': put("\\f"); break;
            default: {
                // Only the control characters are left: the printable ones went with their run.
                const char escaped[] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
                put(std::string_view(escaped, sizeof escaped));
            }
        }
        ++i;
    }
    put("\"");
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
    EscapeJson(text, [&out](std::string_view piece) { out.append(piece); });
}

// ---------------------------------------------------------------- JsonWriter

JsonWriter::JsonWriter(std::string& out) : fOut(out), fBuffer(new char[kBufferSize]) {}

JsonWriter::~JsonWriter() {
    try {
        Spill();
    } catch (const std::exception&) {
    }
}

void JsonWriter::Spill() {
    fOut.append(fBuffer.get(), fUsed);
    fUsed = 0;
}

void JsonWriter::Put(std::string_view text) {
    if (kBufferSize - fUsed < text.size()) {
        Spill();
        if (text.size() > kBufferSize / 2) {  // a long text goes straight to the string
            fOut.append(text);
            return;
        }
    }
    std::copy(text.begin(), text.end(), fBuffer.get() + fUsed);
    fUsed += text.size();
}

void JsonWriter::Put(char c) {
    if (fUsed == kBufferSize) Spill();
    fBuffer[fUsed++] = c;
}

char* JsonWriter::Room(size_t n) {
    if (kBufferSize - fUsed < n) Spill();
    return fBuffer.get() + fUsed;
}

void JsonWriter::Finished() {
    if (fStack.empty()) Spill();
}

void JsonWriter::NewLine(size_t depth) {
    if (2 * depth < kIndentBlanks) {
        char* to = Room(1 + 2 * depth);
        to[0] = '\n';
        std::memset(to + 1, ' ', 2 * depth);
        fUsed += 1 + 2 * depth;
        return;
    }
    static const std::string blanks(kIndentBlanks, ' ');
    Put('\n');
    for (size_t left = 2 * depth; left > 0;) {
        const size_t n = std::min(left, blanks.size());
        Put(std::string_view(blanks.data(), n));
        left -= n;
    }
}

void JsonWriter::BeforeValue() {
    if (fAfterKey) {
        fAfterKey = false;
        return;
    }
    if (fStack.empty()) return;
    Level& level = fStack.back();
    if (!level.empty) Put(level.compact ? ", " : ",");
    if (!level.compact) NewLine(fStack.size());
    level.empty = false;
}

void JsonWriter::Begin(char open, char close, bool compact) {
    BeforeValue();
    const bool inCompact = !fStack.empty() && fStack.back().compact;
    fStack.push_back({compact || inCompact, true, close});
    Put(open);
}

void JsonWriter::End(char close) {
    if (fStack.empty() || fStack.back().close != close || fAfterKey)
        throw std::logic_error("JSON containers ended out of order");
    const Level level = fStack.back();
    fStack.pop_back();
    if (!level.empty && !level.compact) NewLine(fStack.size());
    Put(close);
    Finished();
}

JsonWriter& JsonWriter::BeginObject(bool compact) {
    Begin('{', '}', compact);
    return *this;
}
JsonWriter& JsonWriter::EndObject() {
    End('}');
    return *this;
}
JsonWriter& JsonWriter::BeginArray(bool compact) {
    Begin('[', ']', compact);
    return *this;
}
JsonWriter& JsonWriter::EndArray() {
    End(']');
    return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
    if (fStack.empty() || fStack.back().close != '}' || fAfterKey)
        throw std::logic_error("JSON member name outside an object");
    BeforeValue();
    if (name.size() <= kShortKey && PlainJsonRun(name, 0) == name.size()) {
        // The usual member name, plain and short: written in one piece.
        char* to = Room(name.size() + 4);
        to[0] = '"';
        const char tail[] = {'"', ':', ' '};
        std::copy(tail, tail + sizeof tail, std::copy(name.begin(), name.end(), to + 1));
        fUsed += name.size() + 4;
    } else {
        EscapeJson(name, [this](std::string_view piece) { Put(piece); });
        Put(": ");
    }
    fAfterKey = true;
    return *this;
}

JsonWriter& JsonWriter::String(std::string_view text) {
    BeforeValue();
    EscapeJson(text, [this](std::string_view piece) { Put(piece); });
    Finished();
    return *this;
}

JsonWriter& JsonWriter::Number(double value) {
    if (!std::isfinite(value)) return Null();
    BeforeValue();
    char digits[kMaxShortestBytes];
    Put(std::string_view(digits, size_t(PutShortest(digits, value) - digits)));
    Finished();
    return *this;
}

JsonWriter& JsonWriter::Int(int64_t value) {
    BeforeValue();
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    Put(std::string_view(digits, size_t(end - digits)));
    Finished();
    return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
    BeforeValue();
    Put(value ? "true" : "false");
    Finished();
    return *this;
}

JsonWriter& JsonWriter::Null() {
    BeforeValue();
    Put("null");
    Finished();
    return *this;
}

}  // namespace vesk
