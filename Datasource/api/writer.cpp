// vesk::Writer: checked variables into the engine's SystemFileDataSource,
// checked cells into its case buffer, the file written beside the target and
// renamed onto it at close (VESK_ReplacingFile: flushed to disk, permission
// bits and symbolic links kept).
#include <cmath>
#include <cstring>

#include "SystemFileDataSource.h"
#include "api_internal.h"
#include "replacingfile.h"

namespace vesk {

using detail::Fail;
using detail::Guarded;

namespace {

void CheckDataset(const WriterOptions& options) {
    if (int(options.compression) < 0 || int(options.compression) > 2)
        throw std::invalid_argument("unknown compression");
    for (const auto& [name, values] : options.attributes)
        if (DatasourceAttributes::ValidateFileAttrName(name) == DatasourceAttributes::InvalidName)
            Fail(DatasrcMsg::BadDefinition, {"(dataset)", "'" + name + "' is not a valid attribute name"});
}

// Gives the new file its dictionary and properties and writes the dictionary
// to `path`.
void Commit(SystemFileDataSource& file, const std::vector<Variable>& variables, const WriterOptions& options,
            const std::string& path) {
    file.CharacterEncoding("UTF-8");
    for (const Variable& v : variables) detail::AddToDictionary(file, v);
    if (options.label) file.SetLabel(options.label->c_str());
    if (!options.attributes.empty()) file.SetAttributes(detail::ToLibrary(options.attributes));
    file.SetFileSpec(path.c_str());
    if (options.password) {
        ExtNameStr pw;
        pw.SetGeneric(*options.password);
        file.SetPassword(pw);
    }
    file.SetCompressionLevel(int(options.compression));
    Guarded([&] { file.CommitDictionary(); });
}

}  // namespace

struct Writer::Impl {
    // Without close(), destruction completes the temporary file and removes it.
    Impl(const std::string& path, std::vector<Variable> variables, const WriterOptions& options);

    // Stores the cell of column k in the case buffer (row: its number, for
    // the error text); Error 1241 when it does not suit the variable.
    void Put(size_t k, const Cell& cell, int64_t row);
    // NaN is stored as the system-missing value.
    void PutNumber(size_t k, double value) { fRow[size_t(fLayout[k].cell)].d = std::isnan(value) ? VESK_SYSMIS : value; }
    void PutText(size_t k, std::string_view text);
    void CheckText(size_t k, std::string_view text, int64_t row) const;
    // Every column of a write_columns call suits its variable (Error 1241) and
    // all are of one length (std::invalid_argument).
    void CheckColumns(std::span<const ColumnInput> columns) const;
    void AddRow();
    void CheckOpen() const {
        if (!fFile) Fail(DatasrcMsg::WrongTime, {fTarget});
    }

    std::string fTarget;
    std::optional<VESK_ReplacingFile> fTemp;  // declared before fFile: removed after it is closed
    std::vector<Variable> fVariables;
    std::unique_ptr<SystemFileDataSource, detail::ChainDeleter> fFile;  // null once closed
    std::vector<detail::CellSpan> fLayout;
    std::vector<OBS> fRow;
    int64_t fRows = 0;
};

Writer::Impl::Impl(const std::string& path, std::vector<Variable> variables, const WriterOptions& options)
    : fTarget(path) {
    const auto lock = detail::LockEngine();
    const detail::EncodingScope utf8("UTF-8");
    detail::CheckVariables(variables);
    CheckDataset(options);
    Guarded([&] { fTemp.emplace(path); });
    fFile.reset(new SystemFileDataSource);
    Commit(*fFile, variables, options, fTemp->TempPath());
    for (unsigned i = 0; i < fFile->ColumnCount(); ++i)
        fVariables.push_back(detail::Describe(fFile->GetVariable(int(i))));
    fLayout = detail::Layout(*fFile);
    fRow.resize(fFile->GetObsAreaSize());
}

void Writer::Impl::CheckText(size_t k, std::string_view text, int64_t row) const {
    const Variable& v = fVariables[k];
    if (text.size() > size_t(v.width))
        Fail(DatasrcMsg::ValueType,
             {v.name, "row " + std::to_string(row) + ": a text of " + std::to_string(text.size()) +
                          " bytes is wider than the variable (" + std::to_string(v.width) + ")"});
}

void Writer::Impl::PutText(size_t k, std::string_view text) {
    char* at = fRow[size_t(fLayout[k].cell)].c;
    const size_t room = size_t(CellsForType(fLayout[k].width)) * sizeof(OBS);
    std::memcpy(at, text.data(), text.size());
    std::memset(at + text.size(), ' ', room - text.size());
}

void Writer::Impl::Put(size_t k, const Cell& cell, int64_t row) {
    const Variable& v = fVariables[k];
    if (v.is_numeric()) {
        if (cell.is_text())
            Fail(DatasrcMsg::ValueType, {v.name, "row " + std::to_string(row) + ": a text for a numeric variable"});
        PutNumber(k, cell.is_missing() ? VESK_SYSMIS : cell.number());
        return;
    }
    if (cell.is_number())
        Fail(DatasrcMsg::ValueType, {v.name, "row " + std::to_string(row) + ": a number for a string variable"});
    CheckText(k, cell.text(), row);
    PutText(k, cell.text());
}

void Writer::Impl::CheckColumns(std::span<const ColumnInput> columns) const {
    if (columns.size() != fVariables.size())
        throw std::invalid_argument(std::to_string(columns.size()) + " columns for " +
                                    std::to_string(fVariables.size()) + " variables");
    const size_t rows = columns.empty() ? 0 : columns[0].size();
    for (size_t k = 0; k < columns.size(); ++k) {
        const Variable& v = fVariables[k];
        if (columns[k].size() != rows) throw std::invalid_argument("columns of different lengths");
        if (columns[k].is_numbers() != v.is_numeric())
            Fail(DatasrcMsg::ValueType,
                 {v.name, v.is_numeric() ? "texts for a numeric variable" : "numbers for a string variable"});
        if (!v.is_numeric())
            for (size_t r = 0; r < rows; ++r) CheckText(k, columns[k].texts()[r], fRows + int64_t(r));
    }
}

void Writer::Impl::AddRow() {
    Guarded([&] { fFile->AddRow(fRow.data()); });
    ++fRows;
}

// ---------------------------------------------------------------- Writer

Writer::Writer(const std::string& path, std::vector<Variable> variables, const WriterOptions& options)
    : fImpl(new Impl(path, std::move(variables), options)) {}
Writer::~Writer() = default;
Writer::Writer(Writer&&) noexcept = default;
Writer& Writer::operator=(Writer&&) noexcept = default;

const std::vector<Variable>& Writer::variables() const { return fImpl->fVariables; }
int64_t Writer::rows_written() const { return fImpl->fRows; }

void Writer::write_row(std::span<const Cell> cells) {
    fImpl->CheckOpen();
    if (cells.size() != fImpl->fVariables.size())
        throw std::invalid_argument("a row of " + std::to_string(cells.size()) + " cells for " +
                                    std::to_string(fImpl->fVariables.size()) + " variables");
    for (size_t k = 0; k < cells.size(); ++k) fImpl->Put(k, cells[k], fImpl->fRows);
    fImpl->AddRow();
}

void Writer::write_columns(std::span<const ColumnInput> columns) {
    Impl& w = *fImpl;
    w.CheckOpen();
    w.CheckColumns(columns);
    const size_t rows = columns.empty() ? 0 : columns[0].size();
    for (size_t r = 0; r < rows; ++r) {
        for (size_t k = 0; k < columns.size(); ++k) {
            if (columns[k].is_numbers())
                w.PutNumber(k, columns[k].numbers()[r]);
            else
                w.PutText(k, columns[k].texts()[r]);
        }
        w.AddRow();
    }
}

void Writer::close() {
    Impl& w = *fImpl;
    w.CheckOpen();
    {
        const auto lock = detail::LockEngine();
        Guarded([&] { w.fFile->Close(); });
        w.fFile.reset();
    }
    Guarded([&] { w.fTemp->Commit(); });
}

}  // namespace vesk
