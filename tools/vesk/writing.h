// The writing commands of the vesk tool (import, convert) and what they
// share: the compression option and the temporary output file that replaces
// the target only once the new file is complete.
#pragma once

#include <string>

#include "commands.h"
#include "errortext.h"
#include "replacingfile.h"

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

// From now on SIGINT, SIGTERM and SIGHUP remove the temporary files of the
// writes under way (VESK_ReplacingFile::RemovePendingFiles) and end the
// process with status 128 + the signal's number.
void RemoveTemporaryFilesOnSignals();

// A temporary file beside the target (beside the file it names when it is a
// symbolic link), with the target's permission bits. Commit flushes it to
// disk and renames it onto the target; without a successful Commit the
// destructor removes it, so an existing target stays as it was. Errors are
// the library's (1201, 1202) naming the target.
class TempOutput {
public:
    explicit TempOutput(const std::string& target);

    const std::string& Path() const { return fFile.TempPath(); }
    void Commit() { fFile.Commit(); }

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
    VESK_ReplacingFile fFile;
};

}  // namespace vesk
