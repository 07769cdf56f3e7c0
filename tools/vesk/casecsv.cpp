#include "casecsv.h"

#include "datasrc.h"
#include "dictjson.h"
#include "textout.h"

namespace vesk {

void AppendCsvHeader(std::string& out, const VESK_DataSource& source, const std::vector<int>& columns) {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) out += ',';
        AppendCsvField(out, source.GetVariable(columns[i]).GetName());
    }
    out += "\r\n";
}

void AppendCsvCase(std::string& out, const VESK_DataSource& source, const std::vector<int>& columns,
                   const OBS* cells) {
    for (size_t i = 0; i < columns.size(); ++i) {
        if (i) out += ',';
        const int column = columns[i];
        const OBS* cell = cells + source.ObsIndex(column);
        const int type = source.GetVariable(column).GetType();
        if (type == 0) {
            if (cell->bits != VESK_SYSMIS_BITS) out += FormatNumber(cell->d);
        } else {
            AppendCsvField(out, StringCellText(cell->c, type));
        }
    }
    out += "\r\n";
}

}  // namespace vesk
