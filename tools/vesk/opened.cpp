#include "opened.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "SystemFileDataSource.h"
#include "case.h"
#include "commands.h"
#include "datasrc.h"
#include "errortext.h"
#include "textmb.h"
#include "variable.h"

namespace vesk {

namespace {

// Library warnings (names replaced, text lost in re-encoding) as stderr lines.
class StderrMonitor : public ErrorMonitor {
public:
    void Report(const char* message, int) override { std::fprintf(stderr, "vesk: warning: %s\n", message); }
};

StderrMonitor gMonitor;

// A directory opens and then reads as an empty file; say what it is instead.
void RefuseDirectory(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::CannotOpen, path);
    }
}

// The file through GetSystemFile; a password from the environment is tried
// only when the file turns out to need one (1214).
VESK_DataSource* Open(const FileOptions& options) {
    const std::string& path = options.file;
    if (!options.passwordFromEnvironment)
        return SystemFileDataSource::GetSystemFile(path, options.password, false, &gMonitor);
    try {
        return SystemFileDataSource::GetSystemFile(path, std::string(), false, &gMonitor);
    } catch (const VeskError& e) {
        if (e.Number() != int(DatasrcMsg::NeedsPassword)) throw;
    }
    return SystemFileDataSource::GetSystemFile(path, options.password, false, &gMonitor);
}

}  // namespace

OpenedFile::OpenedFile(const FileOptions& options) : fPath(options.file) {
    RefuseDirectory(fPath);
    SetUTF8mode(1);
    fSource = Open(options);
    for (const VESK_DataSource* s = fSource; s && !fReader; s = s->GetParentSource())
        fReader = dynamic_cast<const SystemFileDataSource*>(s);
    if (!fReader) {
        DeleteLine(fSource);
        throw std::logic_error("the opened source has no system-file reader under it");
    }
}

OpenedFile::~OpenedFile() { DeleteLine(fSource); }

std::unique_ptr<VESK_InputCaseIterator> OpenedFile::MakeIterator() const {
    bool asStored = fSource->GetObsAreaSize() == fReader->GetObsAreaSize();
    for (unsigned i = 0; asStored && i < fSource->ColumnCount(); ++i)
        asStored = fSource->GetVariable(int(i)).GetType() == 0;
    const VESK_DataSource& cases = asStored ? static_cast<const VESK_DataSource&>(*fReader) : *fSource;
    return std::unique_ptr<VESK_InputCaseIterator>(cases.MakeIterator(nullptr));
}

std::vector<int> OpenedFile::Columns(const std::vector<std::string>& names) const {
    std::vector<int> columns;
    if (names.empty()) {
        for (unsigned i = 0; i < fSource->ColumnCount(); ++i) columns.push_back(int(i));
        return columns;
    }
    for (const std::string& name : names) {
        const int column = fSource->FindVarIndex(name.c_str());
        if (column < 0) throw UsageError(fPath + ": no variable named '" + name + "'");
        columns.push_back(column);
    }
    return columns;
}

}  // namespace vesk
