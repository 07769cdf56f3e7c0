#include "opened.h"

#include <cstdio>
#include <stdexcept>

#include "SystemFileDataSource.h"
#include "datasrc.h"
#include "errortext.h"
#include "textmb.h"

namespace vesk {

namespace {

// Library warnings (names replaced, text lost in re-encoding) as stderr lines.
class StderrMonitor : public ErrorMonitor {
public:
    void Report(const char* message, int) override { std::fprintf(stderr, "vesk: warning: %s\n", message); }
};

StderrMonitor gMonitor;

}  // namespace

OpenedFile::OpenedFile(const std::string& path, const std::string& password) : fPath(path) {
    SetUTF8mode(1);
    fSource = SystemFileDataSource::GetSystemFile(path, password, false, &gMonitor);
    for (const VESK_DataSource* s = fSource; s && !fReader; s = s->GetParentSource())
        fReader = dynamic_cast<const SystemFileDataSource*>(s);
    if (!fReader) {
        DeleteLine(fSource);
        throw std::logic_error("the opened source has no system-file reader under it");
    }
}

OpenedFile::~OpenedFile() { DeleteLine(fSource); }

}  // namespace vesk
