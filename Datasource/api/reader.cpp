// vesk::Reader: a system file opened through the engine's GetSystemFile in
// the encoding the caller asked for, its dictionary as plain structs, and
// row-by-row reading.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "SystemFileDataSource.h"
#include "api_internal.h"
#include "case.h"
#include "datasrc.h"
#include "reader_impl.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"

namespace vesk {

using detail::Guarded;

// ---------------------------------------------------------------- Impl

void Reader::Impl::Monitor::Report(const char* message, int) { fWarnings.push_back(message); }

Reader::Impl::Impl(const std::string& path, const ReaderOptions& options) : fPath(path) {
    if (options.zlib_cached_blocks < 0 || options.zlib_cached_blocks > zcmpsFilestr::kMaxCachedBlocks)
        throw std::invalid_argument("zlib_cached_blocks must be 0 to " + std::to_string(zcmpsFilestr::kMaxCachedBlocks));
    const auto lock = detail::LockEngine();
    const detail::EncodingScope scope(options.encoding);
    fEncoding = options.encoding;
    fSource.reset(Guarded([&] {
        return SystemFileDataSource::GetSystemFile(path, options.password.value_or(""), false, &fMonitor);
    }));
    for (const VESK_DataSource* s = fSource.get(); s && !fFile; s = s->GetParentSource())
        fFile = dynamic_cast<const SystemFileDataSource*>(s);
    VESK_ASSERT(fFile != nullptr);
    const_cast<SystemFileDataSource*>(fFile)->SetCachedZlibBlocks(options.zlib_cached_blocks);
    Describe();
}

void Reader::Impl::Describe() {
    const VESK_DataSource& s = *fSource;
    for (unsigned i = 0; i < s.ColumnCount(); ++i) {
        fVariables.push_back(detail::Describe(s.GetVariable(int(i))));
        fMissing.emplace_back(s.GetVariable(int(i)));
        fByName.emplace(fVariables.back().name, i);
    }
    fLayout = detail::Layout(s);
    fAttributes = detail::Describe(s.GetAttributes());
    if (const char* label = s.GetLabel()) fLabel = label;
}

std::optional<size_t> Reader::Impl::Find(std::string_view name) const {
    if (const auto it = fByName.find(std::string(name)); it != fByName.end()) return it->second;
    const auto lock = detail::LockEngine();
    const detail::EncodingScope scope(fEncoding);
    const int column = fSource->FindVarIndex(std::string(name).c_str());
    return column < 0 ? std::nullopt : std::optional<size_t>(size_t(column));
}

size_t Reader::Impl::Column(std::string_view name) const {
    const std::optional<size_t> column = Find(name);
    if (!column) detail::Fail(DatasrcMsg::NoSuchVariable, {std::string(name), fPath});
    return *column;
}

const detail::CellSpan& Reader::Impl::Span(size_t column, bool numeric) const {
    if (column >= fVariables.size())
        throw std::out_of_range("column " + std::to_string(column) + " beyond the dictionary");
    const detail::CellSpan& span = fLayout[column];
    if ((span.width == 0) != numeric)
        detail::Fail(DatasrcMsg::ValueType, {fVariables[column].name, numeric ? "a string variable read as a number"
                                                                          : "a numeric variable read as text"});
    return span;
}

std::unique_ptr<VESK_InputCaseIterator> Reader::Impl::MakeIterator() const {
    // The views over the file re-encode string cells only: without strings
    // their cases are the file's byte for byte, and the file's own iterator
    // reads them in batches instead of copying each case across.
    const bool asStored = fSource.get() == fFile ||
                          (fSource->GetObsAreaSize() == fFile->GetObsAreaSize() &&
                           std::all_of(fLayout.begin(), fLayout.end(), [](const detail::CellSpan& s) { return s.width == 0; }));
    const VESK_DataSource& cases = asStored ? static_cast<const VESK_DataSource&>(*fFile) : *fSource;
    return Guarded([&] { return std::unique_ptr<VESK_InputCaseIterator>(cases.MakeIterator(nullptr)); });
}

// ---------------------------------------------------------------- Reader

Reader::Reader(const std::string& path, const ReaderOptions& options) : fImpl(new Impl(path, options)) {}
Reader::~Reader() = default;
Reader::Reader(Reader&&) noexcept = default;
Reader& Reader::operator=(Reader&&) noexcept = default;

const std::vector<Variable>& Reader::variables() const { return fImpl->fVariables; }
size_t Reader::column(std::string_view name) const { return fImpl->Column(name); }
std::optional<size_t> Reader::find(std::string_view name) const { return fImpl->Find(name); }
std::optional<std::string> Reader::label() const { return fImpl->fLabel; }
std::string Reader::file_encoding() const { return fImpl->fFile->CharacterEncoding(); }
Compression Reader::compression() const { return Compression(fImpl->fFile->GetCompressionLevel()); }
const Attributes& Reader::attributes() const { return fImpl->fAttributes; }
const std::vector<std::string>& Reader::warnings() const { return fImpl->fMonitor.fWarnings; }

int64_t Reader::row_count() const {
    if (fImpl->fSource->RowCount() < 0) {
        // Reading to the end settles the count.
        const std::unique_ptr<VESK_InputCaseIterator> it = fImpl->MakeIterator();
        Guarded([&] {
            while (it->NextCase()) {
            }
        });
    }
    return fImpl->fSource->RowCount();
}

Rows Reader::rows(int64_t first, int64_t count) const { return Rows(*this, first, count); }

// ---------------------------------------------------------------- Row

namespace {

const OBS& CellAt(const void* cells, const detail::CellSpan& span) {
    return static_cast<const OBS*>(cells)[span.cell];
}

}  // namespace

std::optional<double> Row::number(size_t column) const {
    const OBS& cell = CellAt(fCells, fReader->Span(column, true));
    if (cell.bits == VESK_SYSMIS_BITS) return std::nullopt;
    return cell.d;
}

std::string_view Row::text(size_t column) const {
    const detail::CellSpan& span = fReader->Span(column, false);
    return detail::TrimBlanks(CellAt(fCells, span).c, size_t(span.width));
}

Cell Row::operator[](size_t column) const {
    if (column < fReader->fLayout.size() && fReader->fLayout[column].width > 0) return text(column);
    return number(column);
}

bool Row::is_missing(size_t column) const {
    if (column >= fReader->fLayout.size()) throw std::out_of_range("column beyond the dictionary");
    return fReader->fMissing[column](CellAt(fCells, fReader->fLayout[column]));
}

std::optional<double> Row::number(std::string_view name) const { return number(fReader->Column(name)); }
std::string_view Row::text(std::string_view name) const { return text(fReader->Column(name)); }
Cell Row::operator[](std::string_view name) const { return (*this)[fReader->Column(name)]; }

// ---------------------------------------------------------------- Rows

struct Rows::Cursor {
    std::unique_ptr<VESK_InputCaseIterator> it;
    int64_t next = 0;
};

Rows::Rows(const Reader& reader, int64_t first, int64_t count) : fCursor(new Cursor), fLeft(count) {
    if (first < 0) throw std::invalid_argument("negative first row");
    fCursor->it = reader.fImpl->MakeIterator();
    if (first > 0) fCursor->it->Seek(first);
    fCursor->next = first;
    fRow.fReader = reader.fImpl.get();
    fRow.fCells = fCursor->it->GetCase().Cells();
}

Rows::Rows(Rows&&) noexcept = default;
Rows& Rows::operator=(Rows&&) noexcept = default;
Rows::~Rows() = default;

void Rows::Advance() {
    if (fLeft == 0 || !Guarded([&] { return fCursor->it->NextCase(); })) {
        fDone = true;
        return;
    }
    fRow.fIndex = fCursor->next++;
    if (fLeft > 0) --fLeft;
}

Rows::iterator Rows::begin() {
    Advance();
    return iterator(this);
}

Rows::iterator& Rows::iterator::operator++() {
    fRows->Advance();
    return *this;
}

}  // namespace vesk
