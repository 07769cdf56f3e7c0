/// @file vesk.hpp
/// @brief A small modern C++ face over the data-source library: read and write
/// system files with RAII types, plain structs, ranges, std::optional,
/// std::string_view, columnar batches and std::chrono.
///
/// The classes of the library (VESK_DataSource, SystemFileDataSource, ...)
/// remain the engine; this header needs none of them and includes only the
/// standard library.
///
/// @par Errors
/// Every failure of the library or of a check made here is a vesk::Error
/// (a std::runtime_error) carrying the library's message number. Wrong use of
/// an interface (a negative row number, a column index out of range) raises
/// std::invalid_argument or std::out_of_range; a broken internal invariant
/// raises VESK_AssertFailed, a std::logic_error.
///
/// @par Text
/// A Reader presents every text (names, labels, string cells) in the
/// encoding its options name, UTF-8 by default, whatever the process's code
/// page; a Writer takes UTF-8 text and writes a UTF-8 file.
///
/// @par Threads
/// Each Reader, Writer and row range belongs to one thread at a time.
/// Different objects may be used on different threads at once: opening,
/// closing and dictionary work take a process-wide lock here, because the
/// engine keeps process-wide state there (encoding mode, open-file registry,
/// variable ids). Code that calls the engine's classes directly from other
/// threads at the same time is not covered by that lock.
#pragma once

#include <chrono>
#include <compare>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "vesk_export.h"

namespace vesk {

// ============================================================== errors

/// A failure reported by the library: the message number of the library's
/// message table and the formatted text (which ends in "[number]").
class VESK_EXPORT Error : public std::runtime_error {
public:
    Error(int code, const std::string& message, std::vector<std::string> args = {});
    /// The message number (1201 cannot open, 1204 damaged file, 1505 a name
    /// used twice, 1241 a value of the wrong type, ...).
    int code() const noexcept { return fCode; }
    /// The texts filled into the message (file names, variable names, ...).
    const std::vector<std::string>& args() const noexcept { return fArgs; }

private:
    int fCode;
    std::vector<std::string> fArgs;
};

/// Message numbers raised by this layer's own checks (the library's other
/// numbers pass through unchanged).
namespace errc {
inline constexpr int kWrongOrder = 1209;        ///< rows after close, close twice
inline constexpr int kValueType = 1241;         ///< a value of the wrong type or too long for its variable
inline constexpr int kValueLabelType = 1242;    ///< value labels that do not suit their variable
inline constexpr int kBadDefinition = 1243;     ///< a format, width or missing-value set that does not suit
inline constexpr int kNoSuchVariable = 1244;    ///< a name no variable has
inline constexpr int kUnknownEncoding = 1245;   ///< an encoding without a converter
inline constexpr int kDuplicateName = 1505;     ///< two variables with the same name (ignoring case)
inline constexpr int kInvalidName = 1506;       ///< not a valid variable name
}  // namespace errc

// ============================================================== dictionary

/// How a file stores its cases.
enum class Compression { none = 0, bytecode = 1, zlib = 2 };

/// Measurement level of a variable.
enum class Measure { unknown = 0, nominal = 1, ordinal = 2, scale = 3 };

/// Alignment of a variable's values in a data grid.
enum class Alignment { left = 0, right = 1, centre = 2 };

/// A print or write format: a format code with a width and decimals.
///
/// Codes 1 (text) and 2 (text as hexadecimal) suit string variables. Among
/// the numeric codes, the date group (20, 23, 24, 28, 29, 30, 38, 39) and 22
/// hold date-times, and 21 and 25 durations, all counted in seconds (see the
/// date functions below). (The dictionary model files 22 with 21 and 25 for
/// its icons; its values are dates with a time of day.)
struct VESK_EXPORT Format {
    int code = 0;      ///< 0..39
    int width = 0;
    int decimals = 0;

    /// Plain number (code 5).
    static Format number(int width = 8, int decimals = 2) { return {5, width, decimals}; }
    /// Text of that many bytes (code 1).
    static Format text(int width) { return {1, width, 0}; }
    /// A calendar date, shown as YYYY-MM-DD (code 38, as vesk import makes).
    static Format date() { return {38, 10, 0}; }
    /// A date with its time of day, YYYY-MM-DD HH:MM:SS plus `decimals` digits
    /// of the second (code 22, as vesk import makes).
    static Format datetime(int decimals = 0) { return {22, decimals ? 21 + decimals : 19, decimals}; }
    /// A duration or time of day, HH:MM:SS plus `decimals` digits (code 21).
    static Format time(int decimals = 0) { return {21, decimals ? 9 + decimals : 8, decimals}; }

    bool is_text() const { return code == 1 || code == 2; }
    /// Values are date-times: the date group and code 22.
    bool is_date() const;
    /// Values are durations: codes 21 and 25.
    bool is_time() const;

    friend bool operator==(const Format&, const Format&) = default;
};

/// A number or a text: the key of a value label, a missing value.
class VESK_EXPORT Value {
public:
    Value() = default;  ///< the number 0
    template <class T>
        requires std::is_arithmetic_v<T>
    Value(T number) : fNumber(double(number)) {}
    Value(std::string text) : fIsText(true), fText(std::move(text)) {}
    Value(std::string_view text) : Value(std::string(text)) {}
    Value(const char* text) : Value(std::string(text)) {}

    bool is_number() const { return !fIsText; }
    bool is_text() const { return fIsText; }
    double number() const { return fNumber; }           ///< 0 for a text
    const std::string& text() const { return fText; }   ///< empty for a number

    /// Numbers before texts; numbers in IEEE total order (so NaNs have a
    /// place), texts byte by byte.
    friend VESK_EXPORT std::strong_ordering operator<=>(const Value& a, const Value& b);
    friend bool operator==(const Value& a, const Value& b) { return (a <=> b) == 0; }

private:
    bool fIsText = false;
    double fNumber = 0;
    std::string fText;
};

/// The values of a variable that count as missing besides system-missing.
/// A numeric variable has up to three discrete numbers, or a range plus at
/// most one number; a string variable up to three texts of at most 8 bytes.
struct VESK_EXPORT MissingValues {
    struct Range {
        double low;
        double high;
        friend bool operator==(const Range&, const Range&) = default;
    };
    std::vector<Value> values;   ///< discrete values (texts without trailing blanks)
    std::optional<Range> range;  ///< low..high inclusive; numeric variables only

    bool empty() const { return values.empty() && !range; }
    friend bool operator==(const MissingValues&, const MissingValues&) = default;
};

/// Custom attributes: (name, values) in order.
using Attributes = std::vector<std::pair<std::string, std::vector<std::string>>>;

/// One variable (column) of a dictionary: what a Reader reports and what a
/// Writer is given. Empty optionals mean "the library's default for the
/// type" when writing; a Reader fills every field.
struct VESK_EXPORT Variable {
    std::string name;
    int width = 0;  ///< 0: numeric; 1..32767: a string of that many bytes
    std::optional<std::string> label;
    std::optional<Format> print;
    std::optional<Format> write;
    std::optional<Measure> measure;
    std::optional<Alignment> alignment;
    std::optional<int> display_width;
    int role = 0;
    /// Value labels: numbers for a numeric variable, texts (without trailing
    /// blanks, at most `width` bytes) for a string variable.
    std::map<Value, std::string> value_labels;
    MissingValues missing;
    Attributes attributes;

    /// A numeric variable shown with `format` (a plain number by default).
    static Variable numeric(std::string name, Format format = Format::number());
    /// A string variable of that width.
    static Variable string(std::string name, int width);

    bool is_numeric() const { return width == 0; }
    bool is_string() const { return width > 0; }
    /// The print format says the values are date-times.
    bool is_date() const { return print && print->is_date(); }
    /// The print format says the values are durations.
    bool is_time() const { return print && print->is_time(); }
    /// The label of a value, or null.
    const std::string* label_of(const Value& value) const;
};

/// A legal variable name for a file: 1 to 64 bytes of UTF-8, starting with a
/// letter or "@", no reserved word.
VESK_EXPORT bool is_valid_name(std::string_view name);

// ============================================================== cells

/// One value of a case: missing, a number or a text. A Cell read from a Row
/// views the row's buffer and is valid until the row moves on.
class VESK_EXPORT Cell {
public:
    enum class Kind { missing, number, text };

    Cell() = default;  ///< missing
    Cell(std::nullopt_t) {}
    template <class T>
        requires std::is_arithmetic_v<T>
    Cell(T number) : fKind(Kind::number), fNumber(double(number)) {}
    Cell(std::optional<double> number) : fKind(number ? Kind::number : Kind::missing), fNumber(number.value_or(0)) {}
    Cell(std::string_view text) : fKind(Kind::text), fText(text) {}
    Cell(const char* text) : Cell(std::string_view(text)) {}
    Cell(const std::string& text) : Cell(std::string_view(text)) {}

    Kind kind() const { return fKind; }
    bool is_missing() const { return fKind == Kind::missing; }
    bool is_number() const { return fKind == Kind::number; }
    bool is_text() const { return fKind == Kind::text; }
    double number() const { return fNumber; }          ///< 0 unless a number
    std::string_view text() const { return fText; }   ///< empty unless a text

private:
    Kind fKind = Kind::missing;
    double fNumber = 0;
    std::string_view fText;
};

/// The value rendered by the variable's print format, as the vesk tool shows
/// values: numbers fixed with the format's decimals (code 17 in exponent
/// form: 1.50e+03); the date group as YYYY-MM-DD; code 22 as YYYY-MM-DD
/// HH:MM:SS; codes 21 and 25 as [-]HH:MM:SS with the hours running on past a
/// day; the decimals of date-times and durations (at most 6) as fractional
/// seconds, rounded. Dates outside years 1582..9999 and infinities come in
/// the shortest form that reads back; a text that shows zero has no minus
/// sign. Texts without trailing blanks (code 2: hexadecimal). Missing cells,
/// NaN and the system-missing value give an empty text. Raises Error 1241
/// when the cell's kind does not suit the variable.
VESK_EXPORT std::string format_value(const Variable& variable, const Cell& cell);

// ============================================================== dates

/// Date-times are seconds since 1582-10-14 00:00:00, local time (no time
/// zone); durations are seconds. These convert exactly as the library's
/// iDMY2Vesk / iVesk2DMY do, to microseconds.
using LocalTime = std::chrono::local_time<std::chrono::microseconds>;

/// 1582-10-14, day 0 of date-time values.
inline constexpr std::chrono::local_days kDateEpoch{std::chrono::year{1582} / std::chrono::October / 14};
/// Seconds from kDateEpoch to 1970-01-01 (for arithmetic on whole columns).
inline constexpr double kUnixEpochSeconds = 12219292800.0;

/// The date-time of a value; nullopt for system-missing, NaN or infinity.
VESK_EXPORT std::optional<LocalTime> to_local_time(double value);
/// The calendar day of a date-time value; nullopt as above.
VESK_EXPORT std::optional<std::chrono::year_month_day> to_date(double value);
/// A duration value in microseconds; nullopt as above.
VESK_EXPORT std::optional<std::chrono::microseconds> to_duration(double value);

/// The value of a date-time (days before 1582-10-14 give negative values).
template <class Duration>
double from_local_time(std::chrono::local_time<Duration> time) {
    return std::chrono::duration<double>(time - kDateEpoch).count();
}
/// The value of a calendar day at 00:00. A day beyond the end of its month
/// counts on into the next (31 February is 3 March, 2 March in leap years);
/// an invalid year or month raises std::invalid_argument.
VESK_EXPORT double from_date(std::chrono::year_month_day date);
/// The value of a duration.
template <class Rep, class Period>
double from_duration(std::chrono::duration<Rep, Period> duration) {
    return std::chrono::duration<double>(duration).count();
}

// ============================================================== reading

/// How a Reader opens a file.
struct VESK_EXPORT ReaderOptions {
    /// Password of an encrypted file.
    std::optional<std::string> password;
    /// Encoding of every text the Reader hands out. With UTF-8 every file is
    /// converted (a code-page file has its string variables widened, up to
    /// three bytes per character); with a code page, UTF-8 files are converted
    /// and files of another code page keep theirs (a warning says so).
    /// Unknown: Error 1245.
    std::string encoding = "UTF-8";
    /// zlib-compressed files: how many inflated 4 MiB blocks are kept besides
    /// the one being read (0 to 64), so that reading back and forth near a
    /// position inflates nothing again.
    int zlib_cached_blocks = 2;
};

/// What a columnar read does with missing values.
struct VESK_EXPORT BatchOptions {
    /// Keep user-missing numbers as they are; by default they are missing
    /// like the system-missing value.
    bool user_missing = false;
    /// Store NaN for a missing number; otherwise the stored value stays (the
    /// system-missing value is the lowest finite double) and only the mask
    /// tells.
    bool nan_for_missing = true;
    /// read(): also fill BatchColumn::missing.
    bool mask = false;
    /// Large reads may decode the cases on a second thread while the calling
    /// thread fills the arrays: a view that re-encodes texts, and a bytecode
    /// file whose cells are mostly compressed codes, do (decoding costs more
    /// there than handing rows between cores); the other files are read on
    /// the calling thread. false: always on the calling thread.
    bool decode_ahead = true;
};

/// Texts of one string column: text i is bytes[offsets[i], offsets[i+1]),
/// trailing blanks removed. offsets has one entry more than there are texts.
struct VESK_EXPORT StringColumn {
    std::vector<int64_t> offsets{0};
    std::string bytes;

    size_t size() const { return offsets.size() - 1; }
    std::string_view operator[](size_t i) const {
        return std::string_view(bytes).substr(size_t(offsets[i]), size_t(offsets[i + 1] - offsets[i]));
    }
    void push_back(std::string_view text) {
        bytes.append(text);
        offsets.push_back(int64_t(bytes.size()));
    }
    void clear() {
        offsets.assign(1, 0);
        bytes.clear();
    }
};

/// Where Reader::read_into puts one column. A numeric column needs `numbers`
/// (room for the rows asked for); a string column needs `strings`, to which
/// the texts are appended. `missing`, when given, gets 1 for each missing
/// cell and 0 elsewhere (for strings: user-missing texts).
struct VESK_EXPORT ColumnTarget {
    size_t column = 0;
    double* numbers = nullptr;
    StringColumn* strings = nullptr;
    uint8_t* missing = nullptr;
};

/// One column of a Batch.
struct VESK_EXPORT BatchColumn {
    size_t column = 0;             ///< index in Reader::variables()
    std::vector<double> numbers;   ///< numeric variables
    StringColumn strings;          ///< string variables
    std::vector<uint8_t> missing;  ///< 1 for a missing cell (numeric and string)
};

/// Rows first_row .. first_row + rows - 1 of some columns.
struct VESK_EXPORT Batch {
    int64_t first_row = 0;
    int64_t rows = 0;
    std::vector<BatchColumn> columns;
};

/// A place in the data of a file where reading can resume without decoding
/// the rows before it: row `row` starts at `position` (a position inside the
/// data, meaningful only for the file it was taken from). Compressed files
/// need marks to start reading at a row quickly; for uncompressed files any
/// row is reached at once and marks are {0, 0}.
struct VESK_EXPORT RowMark {
    int64_t row = 0;
    int64_t position = 0;
    friend bool operator==(const RowMark&, const RowMark&) = default;
};

class Row;
class Rows;
namespace detail {
struct EngineAccess;
}

/// A system file open for reading. Opening reads the whole dictionary; the
/// cases are read through rows() or read()/read_into().
class VESK_EXPORT Reader {
public:
    /// Opens the file. Error 1201 (cannot open), 1204 (not a system file or
    /// damaged), 1205 (ends too early), 1214 (encrypted, no password), 1245
    /// (unknown encoding), and the library's other numbers.
    explicit Reader(const std::string& path, const ReaderOptions& options = {});
    ~Reader();
    Reader(Reader&&) noexcept;
    Reader& operator=(Reader&&) noexcept;

    const std::vector<Variable>& variables() const;
    /// The index of the variable of that name (case does not matter); Error 1244 when none.
    size_t column(std::string_view name) const;
    /// The index, or nullopt.
    std::optional<size_t> find(std::string_view name) const;

    /// Number of rows. When the file does not declare it, the rows are
    /// counted once by reading through the data.
    int64_t row_count() const;
    std::optional<std::string> label() const;
    /// The file's own text encoding (before any conversion).
    std::string file_encoding() const;
    Compression compression() const;
    const Attributes& attributes() const;
    /// Warnings of the library while opening (names replaced, text lost).
    const std::vector<std::string>& warnings() const;

    /// Rows first .. first + count - 1 (count < 0: to the end).
    Rows rows(int64_t first = 0, int64_t count = -1) const;

    /// Reads up to n_rows rows from first_row into the targets; returns the
    /// number of rows read (fewer at the end of the data). Consecutive calls
    /// that continue where the last one stopped read on without seeking.
    /// Targets that do not suit their column (no `numbers` for a numeric
    /// column, no `strings` for a string column), a negative first_row or
    /// n_rows raise std::invalid_argument; a column beyond the dictionary
    /// std::out_of_range.
    int64_t read_into(std::span<const ColumnTarget> targets, int64_t first_row, int64_t n_rows,
                      const BatchOptions& options = {}) const;
    /// The same into a new Batch; no columns means all of them. n_rows < 0
    /// reads to the end.
    Batch read(std::span<const size_t> columns = {}, int64_t first_row = 0, int64_t n_rows = -1,
               const BatchOptions& options = {}) const;

    /// For each of the rows (in ascending order), a mark at or a little
    /// before it: at most the spacing of the reader's row index before it
    /// (some kilobytes; it grows with the square root of the data). Reads
    /// through the file once, up to the last row asked for, stepping over the
    /// cells of the rows between without decoding them. Rows beyond the end
    /// get a mark before the end. Rows not ascending or negative raise
    /// std::invalid_argument.
    std::vector<RowMark> row_marks(std::span<const int64_t> rows) const;
    /// Takes a mark made by row_marks of a Reader of the same file (in this
    /// process or another): reads and row ranges that start at mark.row or
    /// beyond start decoding there. A negative row or position raises
    /// std::invalid_argument; a mark of another file gives wrong rows or the
    /// errors of a damaged file (1204, 1205).
    void resume_at(const RowMark& mark) const;

    struct VESK_NO_EXPORT Impl;

private:
    friend class Rows;
    friend struct detail::EngineAccess;
    std::unique_ptr<Impl> fImpl;
};

/// The current case of a row range. Column numbers index Reader::variables().
class VESK_EXPORT Row {
public:
    /// 0-based number of the row in the file.
    int64_t index() const { return fIndex; }
    /// The number in a numeric column; nullopt for system-missing. Error 1241
    /// for a string column.
    std::optional<double> number(size_t column) const;
    std::optional<double> number(std::string_view name) const;
    /// The text of a string column without trailing blanks (a view into the
    /// row, valid until the row moves on). Error 1241 for a numeric column.
    std::string_view text(size_t column) const;
    std::string_view text(std::string_view name) const;
    /// The cell: a number, a text, or missing for system-missing.
    Cell operator[](size_t column) const;
    Cell operator[](std::string_view name) const;
    /// System-missing or one of the variable's missing values.
    bool is_missing(size_t column) const;

private:
    friend class Rows;
    const Reader::Impl* fReader = nullptr;
    const void* fCells = nullptr;
    int64_t fIndex = 0;
};

/// An input range over rows of a Reader: for (const vesk::Row& row : reader.rows()).
/// It reads through its own cursor, one pass; the Reader (or the one it was
/// moved to) must outlive it.
class VESK_EXPORT Rows {
public:
    class iterator {
    public:
        using value_type = Row;
        using difference_type = std::ptrdiff_t;
        const Row& operator*() const { return fRows->fRow; }
        const Row* operator->() const { return &fRows->fRow; }
        iterator& operator++();
        void operator++(int) { ++*this; }
        friend bool operator==(const iterator& it, std::default_sentinel_t) { return it.Done(); }

    private:
        friend class Rows;
        explicit iterator(Rows* rows) : fRows(rows) {}
        bool Done() const { return fRows->fDone; }
        Rows* fRows;
    };

    Rows(Rows&&) noexcept;
    Rows& operator=(Rows&&) noexcept;
    ~Rows();

    /// Reads the first row. Call once.
    iterator begin();
    std::default_sentinel_t end() const { return {}; }

private:
    friend class Reader;
    struct VESK_NO_EXPORT Cursor;
    Rows(const Reader& reader, int64_t first, int64_t count);
    void Advance();

    std::unique_ptr<Cursor> fCursor;
    Row fRow;
    int64_t fLeft;
    bool fDone = false;
};

// ============================================================== writing

/// How a Writer makes its file.
struct VESK_EXPORT WriterOptions {
    Compression compression = Compression::bytecode;
    /// Encrypts the file with this password.
    std::optional<std::string> password;
    /// Dataset label and attributes.
    std::optional<std::string> label;
    Attributes attributes;
};

/// One column of Writer::write_columns: numbers (NaN for system-missing) for
/// a numeric variable, texts for a string variable. Views; the data must stay
/// alive during the call.
class VESK_EXPORT ColumnInput {
public:
    ColumnInput(std::span<const double> numbers) : fNumbers(numbers), fSize(numbers.size()) {}
    ColumnInput(const std::vector<double>& numbers) : ColumnInput(std::span<const double>(numbers)) {}
    ColumnInput(const StringColumn& texts) : fTexts(&texts), fSize(texts.size()) {}

    bool is_numbers() const { return fTexts == nullptr; }
    size_t size() const { return fSize; }
    std::span<const double> numbers() const { return fNumbers; }
    const StringColumn& texts() const { return *fTexts; }

private:
    std::span<const double> fNumbers;
    const StringColumn* fTexts = nullptr;
    size_t fSize;
};

/// A new system file written from a list of variables. The output goes to a
/// temporary file beside the target, renamed onto it by close(); a Writer
/// destroyed without close() removes it and leaves an existing target as it
/// was.
class VESK_EXPORT Writer {
public:
    /// Checks every variable before anything is created: names (Error 1506
    /// invalid, 1505 twice), widths, formats and missing values (1243), value
    /// labels (1242). Then creates the file and writes the dictionary.
    Writer(const std::string& path, std::vector<Variable> variables, const WriterOptions& options = {});
    ~Writer();
    Writer(Writer&&) noexcept;
    Writer& operator=(Writer&&) noexcept;

    const std::vector<Variable>& variables() const;

    /// Appends one row, one cell per variable: a number (NaN or missing for
    /// system-missing) for a numeric variable, a text of at most its width
    /// for a string variable (missing gives blanks). Error 1241 for a cell of
    /// the wrong kind or a text too long; nothing is written then.
    void write_row(std::span<const Cell> cells);
    void write_row(std::initializer_list<Cell> cells) { write_row(std::span<const Cell>(cells.begin(), cells.size())); }
    /// Appends as many rows as the columns have entries, one column per
    /// variable in order, all of one length (std::invalid_argument otherwise).
    /// Error 1241 as for write_row, checked before any row is written.
    void write_columns(std::span<const ColumnInput> columns);
    void write_columns(std::initializer_list<ColumnInput> columns) {
        write_columns(std::span<const ColumnInput>(columns.begin(), columns.size()));
    }
    /// Rows written so far.
    int64_t rows_written() const;

    /// Completes the file and renames it onto the target. Error 1209 when
    /// already closed.
    void close();

    struct VESK_NO_EXPORT Impl;

private:
    std::unique_ptr<Impl> fImpl;
};

}  // namespace vesk
