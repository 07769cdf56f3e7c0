// A system file opened the way every vesk command opens one: through
// SystemFileDataSource::GetSystemFile, with the process in UTF-8 mode, so the
// source handed out may be a converting source over the reader.
#pragma once

#include <memory>
#include <string>
#include <vector>

class VESK_DataSource;
class VESK_InputCaseIterator;
class SystemFileDataSource;

namespace vesk {

struct FileOptions;

class OpenedFile {
public:
    // Raises the library's VeskError when the file cannot be read (1201 for
    // a directory). Warnings of the library go to stderr. A password from the
    // environment is used only when the file needs one.
    explicit OpenedFile(const FileOptions& options);
    // Deletes the source and the sources under it.
    ~OpenedFile();
    OpenedFile(const OpenedFile&) = delete;
    OpenedFile& operator=(const OpenedFile&) = delete;

    // The source to take the dictionary and the cases from (UTF-8 texts).
    const VESK_DataSource& Source() const { return *fSource; }
    // The reader at the bottom of the source chain: the file's own properties.
    const SystemFileDataSource& Reader() const { return *fReader; }
    const std::string& Path() const { return fPath; }
    // An iterator over the source's cases. The converting sources change
    // string cells only, so for a file without strings this is the reader's
    // own iterator, which reads cases in blocks.
    std::unique_ptr<VESK_InputCaseIterator> MakeIterator() const;

    // The column numbers of the named variables, in the order given; every
    // column when names is empty. An unknown name raises UsageError.
    std::vector<int> Columns(const std::vector<std::string>& names) const;

private:
    std::string fPath;
    VESK_DataSource* fSource = nullptr;
    const SystemFileDataSource* fReader = nullptr;
};

}  // namespace vesk
