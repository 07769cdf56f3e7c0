// `vesk convert`: a system file rewritten with another compression or
// password, its cases unchanged and its dictionary too, but for what a
// --dict file edits.
#include <memory>
#include <optional>

#include "SystemFileDataSource.h"
#include "case.h"
#include "caseblocks.h"
#include "datasrc.h"
#include "dictedit.h"
#include "opened.h"
#include "progress.h"
#include "textmb.h"
#include "writing.h"

namespace vesk {

int RunConvert(const ConvertOptions& options) {
    int level = options.compression.empty() ? -1 : ParseCompression(options.compression);
    std::optional<DictEdit> dict;
    if (!options.dict.empty()) dict.emplace(LoadDictEdit(options.dict));
    OpenedFile in(options);
    const VESK_DataSource& source = in.Source();
    if (level < 0) level = in.Reader().GetCompressionLevel();

    // The whole dictionary, edited, before anything is written.
    SystemFileDataSource out;
    out.CopyDictionary(source);
    if (dict) dict->Apply(out);

    TempOutput temp(options.out);
    temp.Fill([&] {
        out.SetFileSpec(temp.Path().c_str());
        if (!options.outPassword.empty()) {
            ExtNameStr pw;
            pw.SetGeneric(options.outPassword.c_str());
            out.SetPassword(pw);
        }
        out.SetCompressionLevel(level);
        out.CommitDictionary();

        std::unique_ptr<VESK_InputCaseIterator> it = in.MakeIterator();
        Progress progress("convert", source.RowCount(), Progress::StderrIsTerminal());
        ReadInBlocks(*it, progress, [&](const OBS* cells, size_t stride, int64_t count) {
            for (int64_t k = 0; k < count; ++k) out.AddRow(cells + size_t(k) * stride);
        });
        progress.Finish();
        it.reset();
        out.Close();
    });
    temp.Commit();
    return 0;
}

}  // namespace vesk
