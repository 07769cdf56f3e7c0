// The writing commands of the vesk tool (import, convert) and what they
// share: the compression option and the temporary output file that replaces
// the target only once the new file is complete.
#pragma once

#include <string>

#include "commands.h"
#include "errortext.h"

namespace vesk {

struct ImportOptions {
    std::string csv;          // "-": standard input
    std::string out;
    std::string compression;  // empty: bytecode
    std::string password;
    std::string label;
    bool hasLabel = false;
    std::string delimiter;    // empty: by the file name (see ParseDelimiter)
    std::string encoding;     // empty: UTF-8
    bool noHeader = false;
    std::string dict;         // --dict file, empty for none
};

struct ConvertOptions : FileOptions {
    std::string out;
    std::string compression;  // empty: that of the input
    std::string outPassword;
    std::string dict;         // --dict file, empty for none
};

int RunImport(const ImportOptions& options);
int RunConvert(const ConvertOptions& options);

// "none", "bytecode", "zlib" as compression level 0, 1, 2; UsageError otherwise.
int ParseCompression(const std::string& text);

// A temporary file beside the target. Commit renames it onto the target;
// without a successful Commit the destructor removes it, so an existing
// target stays as it was.
class TempOutput {
public:
    explicit TempOutput(const std::string& target);
    ~TempOutput();
    TempOutput(const TempOutput&) = delete;
    TempOutput& operator=(const TempOutput&) = delete;

    const std::string& Path() const { return fPath; }
    void Commit();

    // Runs write, which fills the temporary file. A library error it raises
    // names that file; it is raised again naming the target, the file the
    // user asked for.
    template <class Write>
    void Fill(Write&& write) {
        try {
            write();
        } catch (const VeskError& e) {
            throw NamingTarget(e);
        }
    }

private:
    VeskError NamingTarget(const VeskError& e) const;

    std::string fTarget;
    std::string fPath;
    bool fCommitted = false;
};

}  // namespace vesk
