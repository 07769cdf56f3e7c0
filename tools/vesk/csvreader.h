// Streaming CSV (RFC 4180) for `vesk import`: records are split into fields
// as the text arrives, so neither a long record nor a long field has to fit
// in memory.
//
// Records end in CRLF, LF or a lone CR; a line end at the very end of the text
// starts no further record. A line with nothing on it is no record: it is
// skipped and counted (BlankLines). Fields are separated by the delimiter; a
// field that starts with a double quote is quoted, may hold delimiters, line
// ends and doubled quotes, and must be followed by a delimiter or a line end.
//
// Errors: CsvError naming the input and the line. One thread.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "csvinput.h"

namespace vesk {

// "FILE: line N: what".
class CsvError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One field. `text` holds the whole field, or its first kFieldKeep bytes when
// it is longer; `length` is the whole field's length. The text is valid until
// the next field is read.
struct CsvField {
    static constexpr size_t kFieldKeep = 32768;
    std::string_view text;
    uint64_t length = 0;
};

class CsvReader {
public:
    // The text is not owned. name: how errors name the input. The buffer
    // size (at least 4) only matters to tests of fields cut by its end.
    CsvReader(TextSource& text, char delimiter, std::string name, size_t bufferSize = size_t(1) << 20);

    // Reads the next record: sink.Field(index, field) for each field in turn,
    // then sink.End(fieldCount). Returns false, calling neither, at the end.
    template <class Sink>
    bool Next(Sink& sink) {
        if (!StartRecord()) return false;
        fRecordLine = fLine;
        size_t index = 0;
        CsvField field;
        End end;
        do {
            end = ReadField(field);
            sink.Field(index++, field);
        } while (end == End::kDelimiter);
        sink.End(index);
        return true;
    }

    // Starts again at the first byte (see TextSource::Rewind).
    void Rewind(bool check);

    // The line on which the last record started (1-based).
    uint64_t RecordLine() const { return fRecordLine; }
    uint64_t BlankLines() const { return fBlankLines; }
    uint64_t FirstBlankLine() const { return fFirstBlankLine; }
    const std::string& Name() const { return fName; }

    [[noreturn]] void Fail(uint64_t line, const std::string& what) const;

private:
    enum class End { kDelimiter, kRecord, kInput };

    // The common case inline: an unquoted field whose end is in the buffer.
    End ReadField(CsvField& field) {
        const char* p = fBuffer.data() + fPos;
        const char* end = fBuffer.data() + fEnd;
        if (p < end && *p != '"') {
            const char* q = p;
            while (q < end && !fSpecial[static_cast<unsigned char>(*q)]) ++q;
            if (q < end && *q != '"') {
                field.text = std::string_view(p, size_t(q - p));
                field.length = field.text.size();
                fPos = size_t(q - fBuffer.data()) + 1;
                return Terminator(*q);
            }
        }
        return ReadFieldSlowly(field);
    }
    End Terminator(char c) {
        if (c == fDelimiter) return End::kDelimiter;
        ++fLine;
        fAfterCR = c == '\r';
        return End::kRecord;
    }

    bool StartRecord();
    End ReadFieldSlowly(CsvField& field);
    End ReadUnquoted(CsvField& field);
    End ReadQuoted(CsvField& field);
    bool QuotedInBuffer(CsvField& field, End& end);
    End AfterClosingQuote();
    void Keep(const char* bytes, size_t n);
    void Finish(CsvField& field);
    bool Refill();

    TextSource& fText;
    char fDelimiter;
    std::string fName;
    bool fSpecial[256] = {};     // delimiter, quote, CR, LF
    std::vector<char> fBuffer;
    size_t fPos = 0;
    size_t fEnd = 0;
    bool fAfterCR = false;       // the last record ended in CR: a following LF belongs to it
    std::string fScratch;        // a field that is not one piece of the buffer
    uint64_t fScratchLength = 0;
    uint64_t fLine = 1;
    uint64_t fRecordLine = 0;
    uint64_t fBlankLines = 0;
    uint64_t fFirstBlankLine = 0;
};

}  // namespace vesk
