// `vesk info`: the dictionary and the file's properties, as JSON or as a table.
#include "SystemFileDataSource.h"
#include "commands.h"
#include "datasrc.h"
#include "dictjson.h"
#include "facts.h"
#include "opened.h"
#include "output.h"
#include "textout.h"

namespace vesk {

namespace {

constexpr size_t kJsonBytesPerVariable = 384;
constexpr size_t kJsonBytesOfFile = size_t(1) << 16;

// ---------------------------------------------------------------- table

void WriteTable(const OpenedFile& file, std::string& out) {
    const VESK_DataSource& source = file.Source();
    std::vector<std::vector<std::string>> vars;
    vars.push_back({"#", "Name", "Type", "Format", "Measure", "Missing", "Labels", "Label"});
    for (unsigned i = 0; i < source.ColumnCount(); ++i) {
        const VESK_Variable& v = source.GetVariable(int(i));
        const int type = v.GetType();
        const VESK_VLImplPointer& labels = v.GetValueLabels();
        const char* label = v.GetLabel();
        vars.push_back({std::to_string(i + 1), v.GetName(), type == 0 ? "num" : "str" + std::to_string(type),
                        FormatText(v.GetFormat()), MeasureText(v.GetMeasurementLevel()), MissingText(v),
                        labels.IsValid() && labels->Size() ? std::to_string(labels->Size()) : "",
                        label ? label : ""});
    }
    AppendColumns(out, vars);
    out += '\n';
    AppendColumns(out, DatasetFacts(file));
}

}  // namespace

int RunInfo(const InfoOptions& options) {
    OpenedFile file(options);
    // Complete before anything is shown: a damaged file gives no half table.
    std::string text;
    if (options.json) {
        // Room for what a plain variable takes, so that the text of a wide
        // dictionary is not copied as it grows; pages never written cost nothing.
        text.reserve(kJsonBytesPerVariable * file.Source().ColumnCount() + kJsonBytesOfFile);
        WriteInfoJson(text, file.Source(), file.Reader());
    } else {
        WriteTable(file, text);
    }
    StdoutBuffer out;
    out.Write(text);
    return 0;
}

}  // namespace vesk
