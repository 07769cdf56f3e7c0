#include "csvreader.h"

#include <algorithm>
#include <cstring>

namespace vesk {

namespace {

bool IsLineEnd(char c) { return c == '\n' || c == '\r'; }

}  // namespace

CsvReader::CsvReader(TextSource& text, char delimiter, std::string name, size_t bufferSize)
    : fText(text), fDelimiter(delimiter), fName(std::move(name)), fBuffer(std::max<size_t>(bufferSize, 4)) {
    for (char c : {delimiter, '"', '\r', '\n'}) fSpecial[static_cast<unsigned char>(c)] = true;
}

void CsvReader::Rewind(bool check) {
    fText.Rewind(check);
    fPos = fEnd = 0;
    fAfterCR = false;
    fLine = 1;
    fRecordLine = 0;
    fBlankLines = fFirstBlankLine = 0;
}

void CsvReader::Fail(uint64_t line, const std::string& what) const {
    throw CsvError(fName + ": line " + std::to_string(line) + ": " + what);
}

bool CsvReader::Refill() {
    try {
        fEnd = fText.Read(fBuffer.data(), fBuffer.size());
    } catch (const TextError& e) {
        Fail(fLine, e.what());
    }
    fPos = 0;
    return fEnd > 0;
}

// Skips the LF of a CRLF that ended the last record, and blank lines.
bool CsvReader::StartRecord() {
    for (;;) {
        if (fPos == fEnd && !Refill()) return false;
        const char c = fBuffer[fPos];
        if (fAfterCR && c == '\n') {
            fAfterCR = false;
            ++fPos;
            continue;
        }
        fAfterCR = false;
        if (!IsLineEnd(c)) return true;
        if (fBlankLines++ == 0) fFirstBlankLine = fLine;
        ++fLine;
        fAfterCR = c == '\r';
        ++fPos;
    }
}

void CsvReader::Keep(const char* bytes, size_t n) {
    const size_t room = CsvField::kFieldKeep - fScratch.size();
    fScratch.append(bytes, n < room ? n : room);
    fScratchLength += n;
}

void CsvReader::Finish(CsvField& field) {
    field.text = fScratch;
    field.length = fScratchLength;
}

CsvReader::End CsvReader::ReadFieldSlowly(CsvField& field) {
    fScratch.clear();
    fScratchLength = 0;
    if (fPos == fEnd && !Refill()) {
        Finish(field);
        return End::kInput;
    }
    if (fBuffer[fPos] != '"') return ReadUnquoted(field);
    End end;
    if (QuotedInBuffer(field, end)) return end;
    return ReadQuoted(field);
}

// A field whose end is beyond the buffer.
CsvReader::End CsvReader::ReadUnquoted(CsvField& field) {
    for (;;) {
        if (fPos == fEnd && !Refill()) {
            Finish(field);
            return End::kInput;
        }
        const size_t start = fPos;
        while (fPos < fEnd && !fSpecial[static_cast<unsigned char>(fBuffer[fPos])]) ++fPos;
        Keep(fBuffer.data() + start, fPos - start);
        if (fPos == fEnd) continue;
        const char c = fBuffer[fPos++];
        if (c == '"') Fail(fLine, "a quote inside a field that does not start with one");
        Finish(field);
        return Terminator(c);
    }
}

// A quoted field with no doubled quote and no line end, closed and followed
// by its terminator inside the buffer: a view of the buffer.
bool CsvReader::QuotedInBuffer(CsvField& field, End& end) {
    const char* p = fBuffer.data() + fPos + 1;
    const char* last = fBuffer.data() + fEnd;
    const char* q = p;
    while (q < last && *q != '"' && !IsLineEnd(*q)) ++q;
    if (q + 1 >= last || *q != '"') return false;
    const char after = q[1];
    if (after != fDelimiter && !IsLineEnd(after)) return false;
    field.text = std::string_view(p, size_t(q - p));
    field.length = field.text.size();
    fPos = size_t(q + 2 - fBuffer.data());
    end = Terminator(after);
    return true;
}

CsvReader::End CsvReader::ReadQuoted(CsvField& field) {
    const uint64_t opened = fLine;
    ++fPos;  // the opening quote
    char previous = '\0';
    for (;;) {
        if (fPos == fEnd && !Refill()) Fail(opened, "a quoted field is not closed");
        const char c = fBuffer[fPos++];
        if (c == '"') {
            if (fPos == fEnd && !Refill()) break;
            if (fBuffer[fPos] != '"') break;
            ++fPos;  // a doubled quote stands for one
        } else if (c == '\r' || (c == '\n' && previous != '\r')) {
            ++fLine;
        }
        previous = c;
        Keep(&c, 1);
    }
    Finish(field);
    return AfterClosingQuote();
}

CsvReader::End CsvReader::AfterClosingQuote() {
    if (fPos == fEnd && !Refill()) return End::kInput;
    const char c = fBuffer[fPos++];
    if (c != fDelimiter && !IsLineEnd(c)) Fail(fLine, "text after the closing quote of a field");
    return Terminator(c);
}

}  // namespace vesk
