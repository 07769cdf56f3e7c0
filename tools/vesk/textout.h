// Text output helpers of the vesk tool: numbers in their shortest round-trip
// form, trimmed fixed-width texts, CSV fields and a small JSON writer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "numbertext.h"

namespace vesk {

// The shortest decimal text that reads back to the same double ("1", "2.5",
// "-0", "1e+300"); "nan", "inf" and "-inf" for the values that have no digits
// (PutShortest's text).
std::string FormatNumber(double value);

// The text without its trailing blanks (0x20).
std::string_view TrimRight(std::string_view text);

// The number of characters (code points) of UTF-8 text.
size_t TextWidth(std::string_view text);

// The text cut to at most `max` characters, the last of them an ellipsis
// when it was longer.
std::string ShortText(std::string_view text, size_t max);

// Appends rows of cells as lines of columns, each padded to its widest cell
// and two blanks apart; the last cell of a line is not padded. Every line
// starts with `indent` blanks.
void AppendColumns(std::string& out, const std::vector<std::vector<std::string>>& rows, size_t indent = 0);

// Writes one CSV field (RFC 4180) at `to`, which has room for twice its size
// plus 2: quoted, with inner quotes doubled, when it holds the delimiter, a
// double quote, a CR or an LF; otherwise as it is. Returns the end.
char* PutCsvField(char* to, std::string_view field, char delimiter);

// The text with every byte that starts no valid UTF-8 sequence replaced by
// U+FFFD.
std::string ValidUtf8(std::string_view text);

// Appends text as a JSON string literal. Bytes that do not form valid UTF-8
// become U+FFFD, so the result is valid JSON whatever the file held.
void AppendJsonString(std::string& out, std::string_view text);

// Writes one JSON value into a string, two-space indented. Containers begun
// with compact = true (and everything inside them) stay on one line. The text
// collects in a buffer of the writer's own and reaches the string whole when
// the value is complete (or the writer is destroyed).
class JsonWriter {
public:
    explicit JsonWriter(std::string& out);
    ~JsonWriter();
    JsonWriter(const JsonWriter&) = delete;
    JsonWriter& operator=(const JsonWriter&) = delete;

    JsonWriter& BeginObject(bool compact = false);
    JsonWriter& EndObject();
    JsonWriter& BeginArray(bool compact = false);
    JsonWriter& EndArray();
    // The member name; the next call writes its value.
    JsonWriter& Key(std::string_view name);
    JsonWriter& String(std::string_view text);
    // A finite double in shortest round-trip form; NaN and infinities as null.
    JsonWriter& Number(double value);
    JsonWriter& Int(int64_t value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();

    // Every container begun has been ended.
    bool Complete() const { return fStack.empty(); }

private:
    struct Level {
        bool compact;
        bool empty;
        char close;
    };
    void BeforeValue();
    void Begin(char open, char close, bool compact);
    void End(char close);
    void NewLine(size_t depth);
    void Put(std::string_view text);
    void Put(char c);
    // Room for n more bytes (at most kBufferSize) at fBuffer + fUsed.
    char* Room(size_t n);
    // Moves the buffered text to the string once the value is complete.
    void Finished();
    void Spill();

    static constexpr size_t kBufferSize = size_t(1) << 16;
    static constexpr size_t kIndentBlanks = 64;
    static constexpr size_t kShortKey = 256;

    std::string& fOut;
    std::unique_ptr<char[]> fBuffer;
    size_t fUsed = 0;
    std::vector<Level> fStack;
    bool fAfterKey = false;
};

}  // namespace vesk
