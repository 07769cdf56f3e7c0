// The commands of the vesk tool. Each Run function writes its result to
// stdout and returns the exit status of a successful run; library errors
// propagate as VeskError and bad arguments as UsageError, which main turns
// into the error line and exit status 1 or 2.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vesk {

// An argument the user got wrong (exit status 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct FileOptions {
    std::string file;
    std::string password;
    // The password came from VESK_PASSWORD, not the command line: a file that
    // is not encrypted opens without it.
    bool passwordFromEnvironment = false;
};

struct InfoOptions : FileOptions {
    bool json = false;
};

// Rows FIRST to LAST, 0-based and inclusive.
struct RowRange {
    int64_t first = 0;
    int64_t last = 0;
};
// Parses "FIRST:LAST"; raises UsageError for anything else or LAST < FIRST.
RowRange ParseRowRange(const std::string& text);

struct CatOptions : FileOptions {
    std::optional<RowRange> rows;
    std::vector<std::string> vars;  // empty: every variable
    bool formatted = false;
    bool labels = false;
    std::string delimiter = ",";
};

struct DescribeOptions : FileOptions {
    std::vector<std::string> vars;  // empty: every variable
    bool json = false;
};

struct CodebookOptions : FileOptions {
    std::string out;
};

int RunInfo(const InfoOptions& options);
int RunCat(const CatOptions& options);
// Exits 1 (after printing the count) when the header promised another number of cases.
int RunVerify(const FileOptions& options);
int RunDescribe(const DescribeOptions& options);
int RunCodebook(const CodebookOptions& options);

}  // namespace vesk
