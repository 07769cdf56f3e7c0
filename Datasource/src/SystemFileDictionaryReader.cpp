// Reading the dictionary of a system file: the header, the variable, value
// label, document and extension records up to the termination record, and
// the repair of invalid and duplicate variable names.
#define VESK_SOURCE_NAME "Datasource/src/SystemFileDictionaryReader"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "SystemFileDataSource.h"
#include "SystemFileDataSourceImpl.h"
#include "SystemFileDechunker.h"
#include "SystemFileException.h"
#include "SystemFileExtensionRecord.h"
#include "dictnry.h"
#include "errortext.h"
#include "sortednameindex.h"
#include "sysfilecoding.h"
#include "valuelabelmap.h"

using namespace SysFileLayout;
using int32 = int32_t;

namespace {

// Smallest value label: the value, the length byte and its padding.
constexpr int64_t kMinValueLabelBytes = int64_t(kValueLabelValueSize + ValueLabelStoredSize(0));

// A variable keeps its upper-case name in at most 127 bytes, cut at a
// character boundary; one shorter than this was not cut.
constexpr size_t kUpperNameCut = 120;

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Reads the dictionary area through the stream, knowing how many bytes the
// file holds, so that no count is trusted beyond what the file can contain.
class DictReader {
public:
    DictReader(VESK_StrBaseIO& stream, int64_t fileSize) : fStream(stream), fSize(fileSize), fPos(stream.Tell()) {}

    size_t Read(void* buffer, size_t count) {
        const size_t got = fStream.Read(buffer, count);
        fPos += int64_t(got);
        return got;
    }
    // Bytes left after the current position (never negative).
    int64_t Remaining() const { return std::max<int64_t>(0, fSize - fPos); }
    ByteOrder order;

private:
    VESK_StrBaseIO& fStream;
    int64_t fSize;
    int64_t fPos;
};

int32_t ReadInt(DictReader& in) {
    unsigned char b[4];
    const size_t len = in.Read(b, 4);
    SF_REQUIRE(len == sizeof(int32), DatasrcMsg::ShortRead);
    return in.order.GetI32(b);
}

bool IsAsciiNameChar(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '@' || c == '#' ||
           c == '$' || c == '_' || c == '.';
}

// The character test of FixVarNames for the character at p; its length in len.
bool NameCharOK(const char* p, size_t remaining, int& len) {
    const unsigned char c = static_cast<unsigned char>(p[0]);
    // The ASCII letters, digits and marks of a name are one byte in every encoding.
    if (IsAsciiNameChar(c)) {
        len = 1;
        return true;
    }
    len = VESKMBmblen_A(p, std::min<size_t>(remaining, 4));
    if (len < 1) return false;
    return len >= 2 || c >= 0x80;
}

// A name as a file may carry it: every character passes the test, at most 64
// bytes, and not starting with '#', '$', '_' or '.'. An empty name is not a
// name at all.
bool ValidFileName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes) return false;
    const char* p = name.data();
    size_t remaining = name.size();
    bool first = true;
    while (remaining > 0) {
        int len;
        if (!NameCharOK(p, remaining, len)) return false;
        if (first && len == 1 && std::strchr("#$_.", p[0]) != nullptr) return false;
        first = false;
        p += len;
        remaining -= size_t(len);
    }
    return true;
}

// The upper-case name of every column as the name checks see it, empty for an
// invalid name (no valid name is empty): views of the variables' own
// upper-case names, which stay put while the source is not changed. A
// variable keeps its upper-case name cut to the buffer of FindVarIndex, which
// only a name that grows when upper-cased can reach; such names are
// upper-cased in full into `full`.
std::vector<std::string_view> CheckedUpperNames(const VESK_DataSource& source, std::deque<std::string>& full) {
    std::vector<std::string_view> upper(source.ColumnCount());
    for (unsigned v = 0; v < upper.size(); ++v) {
        const VESK_Variable& var = source.GetVariable(int(v));
        if (!ValidFileName(var.GetName())) continue;
        const std::string& kept = var.GetUpperCaseName();
        upper[v] = kept.size() < kUpperNameCut ? kept : full.emplace_back(VESKMBUpper(var.GetName()));
    }
    return upper;
}

// The columns whose names are replaced, with their new names: invalid names,
// and valid ones taken by an earlier column, become "v<k>", k counting up
// past the names taken.
std::vector<std::pair<unsigned, std::string>> NameReplacements(const VESK_DataSource& source) {
    std::deque<std::string> full;
    const SortedNameIndex taken(CheckedUpperNames(source, full));
    const std::vector<uint8_t> flags = taken.Classify();
    const auto isTaken = [&](std::string_view name) {
        const auto range = taken.Find(name);
        return range.first != range.second;
    };
    std::vector<std::pair<unsigned, std::string>> renames;
    int k = 0;
    char candidate[32];
    for (unsigned v = 0; v < taken.Size(); ++v) {
        if (!taken.Name(v).empty() && !(flags[v] & SortedNameIndex::kRepeated)) continue;
        do {
            ++k;
            std::snprintf(candidate, sizeof candidate, "V%d", k);
        } while (isTaken(candidate));
        candidate[0] = 'v';
        renames.emplace_back(v, candidate);
    }
    return renames;
}

}  // namespace

namespace {

// The records of the dictionary, read into one data source.
class DictionaryReader {
public:
    DictionaryReader(SystemFileDataSource& source, SystemFileOptions& options, DictReader& in)
        : fSource(source), fOptions(options), fIn(in), fDict(&source) {}

    void ReadHeader(int kind, bool encrypted);
    // Reads records up to and including the termination record.
    void ReadRecords();

private:
    void EndOfVariables();
    void ReadVariable();
    void ReadValueLabels();
    void ReadDocuments();
    void ReadExtension();

    SystemFileDataSource& fSource;
    SystemFileOptions& fOptions;
    DictReader& fIn;
    VESK_FortranDictionary fDict;
    bool fVariablesDone = false;
};

void DictionaryReader::ReadHeader(int kind, bool encrypted) {
    unsigned char header[kHeaderSize];
    std::memcpy(header, kind == kFL3 ? kMagicZlib : kMagicPlain, kMagicSize);
    const size_t len1 = kHeaderSize - kMagicSize;
    const size_t nRead = fIn.Read(header + kMagicSize, len1);
    SF_REQUIRE(nRead == len1, DatasrcMsg::ShortRead);
    SystemFileHeader h;
    fIn.order = h.Decode(header);
    fOptions._reversed = fIn.order.Reversed();
    fOptions._eyeCatcher = TrimRight(h.product);
    fOptions._layoutCode = h.layoutCode;
    fOptions._cellsPerCase = h.nominalCaseSize;
    // The data area is read by its code; codes the reader does not know, and
    // the zlib code inside an encrypted file (no zlib layer there), are malformed.
    const int32_t compression = h.compression;
    SF_REQUIRE(compression >= kCompressNone && compression <= kCompressZlib, DatasrcMsg::Malformed);
    SF_REQUIRE(!(encrypted && compression == kCompressZlib), DatasrcMsg::Malformed);
    fOptions._compression = compression;
    fOptions._weightIndex = h.weightIndex;
    fOptions._nCases = h.caseCount < 0 ? -1 : h.caseCount;
    fOptions._bias = h.bias;
    fSource.SetLabel(TrimRight(h.label).c_str());
    const double stamp = ParseCreationDateTime(h.date, h.time);
    if (stamp != 0.0) fSource.SetTimestamp(stamp);
}

void DictionaryReader::ReadRecords() {
    for (;;) {
        unsigned char typeBytes[kRecordTypeSize];
        const size_t len = fIn.Read(typeBytes, sizeof typeBytes);
        int32 recType;
        SF_REQUIRE(len == sizeof(recType), DatasrcMsg::ShortRead);
        recType = fIn.order.GetI32(typeBytes);
        if (recType != kRecVariable && !fVariablesDone) EndOfVariables();
        switch (recType) {
        case kRecVariable:
            // The variable list ends at the first record of another type.
            SF_REQUIRE(!fVariablesDone, DatasrcMsg::Malformed);
            ReadVariable();
            break;
        case kRecValueLabels:
            ReadValueLabels();
            break;
        case kRecDocument:
            ReadDocuments();
            break;
        case kRecExtension:
            ReadExtension();
            break;
        case kRecTermination: {
            unsigned char padding[4];
            const size_t n = fIn.Read(padding, sizeof padding);
            SF_REQUIRE(n == sizeof(padding), DatasrcMsg::ShortRead);
            return;
        }
        default:
            SF_REQUIRE(false, DatasrcMsg::Malformed);
        }
    }
}

void DictionaryReader::EndOfVariables() {
    fVariablesDone = true;
    fDict.ReIndex();
    const unsigned cells = fSource.GetObsAreaSize();
    if (fOptions._reversed) {
        fOptions._swapFlags.assign(cells, 0);
        for (unsigned v = 0; v < fSource.ColumnCount(); ++v)
            if (fSource.GetVariable(int(v)).GetType() == 0) fOptions._swapFlags[size_t(fSource.ObsIndex(int(v)))] = 1;
    }
    fOptions._cellsPerCase = cells;
    const int32_t w = fOptions._weightIndex;
    fSource.SetWeightVar(w > 0 && unsigned(w) <= fDict.Count() ? fDict.GetIndex(w) : -1);
}

void DictionaryReader::ReadVariable() {
    unsigned char fixed[kVarFixedSize];
    const size_t len = fIn.Read(fixed, sizeof fixed);
    SF_REQUIRE(len == sizeof(fixed), DatasrcMsg::ShortRead);
    SystemFileVariableRecord r;
    r.Decode(fixed, fIn.order);
    // A record's width is at most 255; wider strings come as segments.
    SF_REQUIRE(r.type >= kContinuationType && r.type <= kMaxRecordStringWidth, DatasrcMsg::Malformed);
    // Room for three values: 1..3 discrete, -2 a range, -3 a range and one value.
    SF_REQUIRE(r.missingCount >= kMissingRangeAndValue && r.missingCount <= kMaxMissingValues &&
                   r.missingCount != -1,
               DatasrcMsg::Malformed);

    std::string label;
    if (r.hasLabel) {
        const int32_t labelLength = ReadInt(fIn);
        SF_REQUIRE(labelLength >= 0, DatasrcMsg::Malformed);
        const int64_t stored = int64_t(VarLabelStoredSize(size_t(labelLength)));
        SF_REQUIRE(stored <= fIn.Remaining(), DatasrcMsg::ShortRead);
        label.resize(size_t(stored));
        const size_t n = fIn.Read(label.data(), label.size());
        SF_REQUIRE(n == label.size(), DatasrcMsg::ShortRead);
        label.resize(size_t(labelLength));
    }
    const int nMissing = r.missingCount < 0 ? -r.missingCount : r.missingCount;
    OBS missing[kMaxMissingValues];
    if (nMissing > 0) {
        const size_t n = fIn.Read(missing, size_t(nMissing) * sizeof(OBS));
        SF_REQUIRE(n == size_t(nMissing) * sizeof(OBS), DatasrcMsg::ShortRead);
    }
    if (r.type < 0) return;  // a continuation cell: nothing of it is kept

    VESK_Variable& var = fDict.MakeVariable(r.type);
    var.SetName(r.Name().c_str());
    var.SetFormat(DecodeFormatWord(r.printFormat));
    var.SetWriteFormat(DecodeFormatWord(r.writeFormat));
    if (r.hasLabel) var.SetLabel(label.data(), unsigned(label.size()));
    if (nMissing > 0) {
        if (r.type == 0)
            for (int k = 0; k < nMissing; ++k) FixCell(fIn.order, missing[k]);
        var.SetMissingValues(r.missingCount, &missing[0], &missing[1], &missing[2]);
    }
}

void DictionaryReader::ReadValueLabels() {
    const int32 nLabels = ReadInt(fIn);
    SF_REQUIRE(nLabels >= 0, DatasrcMsg::Malformed);
    SF_REQUIRE(int64_t(nLabels) * kMinValueLabelBytes <= fIn.Remaining(), DatasrcMsg::ShortRead);
    std::vector<std::pair<OBS, std::string>> pairs;
    pairs.reserve(size_t(nLabels));
    std::string text;
    for (int32 i = 0; i < nLabels; ++i) {
        std::string header(kValueLabelValueSize + 1, '\0');
        size_t len = fIn.Read(header.data(), header.size());
        SF_REQUIRE(len == header.size(), DatasrcMsg::ShortRead);
        const size_t k = static_cast<unsigned char>(header[kValueLabelValueSize]);
        const size_t paddedLen = ValueLabelStoredSize(k) - 1;
        text.resize(paddedLen);
        len = fIn.Read(text.data(), paddedLen);
        SF_REQUIRE(len == paddedLen, DatasrcMsg::ShortRead);
        OBS value;
        std::memcpy(value.c, header.data(), sizeof value);
        pairs.emplace_back(value, text.substr(0, k));
    }

    unsigned char hb[kValueLabelVarsHeaderSize];
    size_t len = fIn.Read(hb, sizeof hb);
    SF_REQUIRE(len == 2*sizeof(int32), DatasrcMsg::ShortRead);
    const int32 h[2] = {fIn.order.GetI32(hb), fIn.order.GetI32(hb + 4)};
    SF_REQUIRE(h[0] == 4, DatasrcMsg::Malformed);
    SF_REQUIRE(h[1] > 0, DatasrcMsg::Malformed);
    const int64_t nVars = h[1];
    SF_REQUIRE(nVars * int64_t(sizeof(int32)) <= fIn.Remaining(), DatasrcMsg::ShortRead);
    std::vector<unsigned char> raw(size_t(nVars) * sizeof(int32));
    len = fIn.Read(raw.data(), raw.size());
    SF_REQUIRE(len == nVars*sizeof(int32), DatasrcMsg::ShortRead);

    // Every listed position must start a variable, all of the same kind
    // (numeric or string) as the first, which decides the map's type.
    std::vector<int> columns;
    columns.reserve(size_t(nVars));
    for (int64_t i = 0; i < nVars; ++i) {
        const int index = fDict.GetIndex(fIn.order.GetI32(raw.data() + 4 * i));
        SF_REQUIRE(index >= 0, DatasrcMsg::Malformed);
        columns.push_back(index);
    }
    const int type = fSource.GetVariable(columns.front()).GetType();
    for (int c : columns) SF_REQUIRE((fSource.GetVariable(c).GetType() == 0) == (type == 0), DatasrcMsg::Malformed);

    if (type == 0)
        for (auto& pair : pairs) FixCell(fIn.order, pair.first);
    // Handed over in key order, each pair lands at the end of the map, so a
    // record in any order costs n log n; stable, so of two pairs with the same
    // value the later label wins as in file order.
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) {
        return VESK_VLMapImpl::CellKey(a.first) < VESK_VLMapImpl::CellKey(b.first);
    });
    VESK_ValueLabelMap map(type);
    std::vector<OBS> value(size_t(CellsForType(type)));
    // A string wider than 8 gets the stored 8 bytes, blank-padded.
    std::memset(value.data(), ' ', value.size() * sizeof(OBS));
    for (auto& [cell, label] : pairs) {
        value[0] = cell;
        map.AddPair(value.data(), label);
    }
    for (int c : columns) fSource.GetVariable(c).SetValueLabels(map);
}

void DictionaryReader::ReadDocuments() {
    const int32_t nLines = ReadInt(fIn);
    SF_REQUIRE(nLines >= 0, DatasrcMsg::Malformed);
    const int64_t bytes = int64_t(nLines) * int64_t(kDocumentLineSize);
    SF_REQUIRE(bytes <= fIn.Remaining(), DatasrcMsg::ShortRead);
    std::vector<char> lines(static_cast<size_t>(bytes));
    const size_t len = fIn.Read(lines.data(), lines.size());
    SF_REQUIRE(len == size_t(bytes), DatasrcMsg::ShortRead);
    fSource.SetExtension(kExtDocuments, 1, long(bytes), bytes ? lines.data() : nullptr);
    fOptions._extensionFound.set(kExtDocuments);
}

void DictionaryReader::ReadExtension() {
    unsigned char hb[kExtensionHeaderSize];
    const size_t len = fIn.Read(hb, sizeof hb);
    SF_REQUIRE(len == 3*sizeof(int32), DatasrcMsg::ShortRead);
    const int32 h[3] = {fIn.order.GetI32(hb), fIn.order.GetI32(hb + 4), fIn.order.GetI32(hb + 8)};
    // A record has units, and units have bytes.
    SF_REQUIRE(h[1] > 0 && h[2] > 0, DatasrcMsg::Malformed);
    // Slot 0 holds the documents, which come only from the document record.
    SF_REQUIRE(h[0] != kExtDocuments, DatasrcMsg::Malformed);
    SF_REQUIRE(int64_t(h[1]) * int64_t(h[2]) <= fIn.Remaining(), DatasrcMsg::ShortRead);
    if (h[0] == kExtCaseCount) fSource.NoteNCasesLoc();
    SystemFileExtensionRecord rec;
    rec.SetUnitSize(h[1]);
    rec.SetNUnits(h[2]);
    const size_t n = fIn.Read(rec.GetContents(), rec.ByteSize());
    SF_REQUIRE(n == size_t(h[2])*size_t(h[1]), DatasrcMsg::ShortRead);
    ReadExtensionRecord(h[0], fSource, fOptions, rec);
}

}  // namespace

namespace {

// Walks the dictionary records as DictionaryReader does, with the same record
// boundaries and the same bounds on every declared length, but keeps only the
// two records that decide the file's encoding (subtypes 3 and 20), applied
// into `fOptions` by their own handlers. Everything else is skipped.
class EncodingScan {
public:
    EncodingScan(DictReader& in, SystemFileOptions& options) : fIn(in), fOptions(options) {}

    void Run(int kind, VESK_DataSource& scratch);

private:
    void ReadHeader(int kind);
    void SkipVariable();
    void SkipValueLabels();
    void SkipExtension(VESK_DataSource& scratch);
    // Skips `count` bytes that the file must hold, through a small buffer.
    void Skip(int64_t count);

    DictReader& fIn;
    SystemFileOptions& fOptions;
};

void EncodingScan::Run(int kind, VESK_DataSource& scratch) {
    ReadHeader(kind);
    for (;;) {
        const int32 recType = ReadInt(fIn);
        if (recType == kRecVariable) {
            SkipVariable();
        } else if (recType == kRecValueLabels) {
            SkipValueLabels();
        } else if (recType == kRecDocument) {
            const int32 nLines = ReadInt(fIn);
            SF_REQUIRE(nLines >= 0, DatasrcMsg::Malformed);
            Skip(int64_t(nLines) * int64_t(kDocumentLineSize));
        } else if (recType == kRecExtension) {
            SkipExtension(scratch);
        } else {
            SF_REQUIRE(recType == kRecTermination, DatasrcMsg::Malformed);
            return;
        }
    }
}

void EncodingScan::ReadHeader(int kind) {
    unsigned char header[kHeaderSize];
    std::memcpy(header, kind == kFL3 ? kMagicZlib : kMagicPlain, kMagicSize);
    const size_t len = kHeaderSize - kMagicSize;
    SF_REQUIRE(fIn.Read(header + kMagicSize, len) == len, DatasrcMsg::ShortRead);
    SystemFileHeader h;
    fIn.order = h.Decode(header);
    fOptions._reversed = fIn.order.Reversed();
}

void EncodingScan::SkipVariable() {
    unsigned char fixed[kVarFixedSize];
    SF_REQUIRE(fIn.Read(fixed, sizeof fixed) == sizeof fixed, DatasrcMsg::ShortRead);
    SystemFileVariableRecord r;
    r.Decode(fixed, fIn.order);
    SF_REQUIRE(r.missingCount >= kMissingRangeAndValue && r.missingCount <= kMaxMissingValues,
               DatasrcMsg::Malformed);
    if (r.hasLabel) {
        const int32_t labelLength = ReadInt(fIn);
        SF_REQUIRE(labelLength >= 0, DatasrcMsg::Malformed);
        Skip(int64_t(VarLabelStoredSize(size_t(labelLength))));
    }
    const int nMissing = r.missingCount < 0 ? -r.missingCount : r.missingCount;
    Skip(int64_t(nMissing) * int64_t(sizeof(OBS)));
}

void EncodingScan::SkipValueLabels() {
    const int32 nLabels = ReadInt(fIn);
    SF_REQUIRE(nLabels >= 0, DatasrcMsg::Malformed);
    SF_REQUIRE(int64_t(nLabels) * kMinValueLabelBytes <= fIn.Remaining(), DatasrcMsg::ShortRead);
    unsigned char header[kValueLabelValueSize + 1];
    for (int32 i = 0; i < nLabels; ++i) {
        SF_REQUIRE(fIn.Read(header, sizeof header) == sizeof header, DatasrcMsg::ShortRead);
        Skip(int64_t(ValueLabelStoredSize(header[kValueLabelValueSize]) - 1));
    }
    unsigned char hb[kValueLabelVarsHeaderSize];
    SF_REQUIRE(fIn.Read(hb, sizeof hb) == sizeof hb, DatasrcMsg::ShortRead);
    SF_REQUIRE(fIn.order.GetI32(hb) == kRecValueLabelVars, DatasrcMsg::Malformed);
    const int32 nVars = fIn.order.GetI32(hb + 4);
    SF_REQUIRE(nVars > 0, DatasrcMsg::Malformed);
    Skip(int64_t(nVars) * int64_t(sizeof(int32)));
}

void EncodingScan::SkipExtension(VESK_DataSource& scratch) {
    unsigned char hb[kExtensionHeaderSize];
    SF_REQUIRE(fIn.Read(hb, sizeof hb) == sizeof hb, DatasrcMsg::ShortRead);
    const int32 h[3] = {fIn.order.GetI32(hb), fIn.order.GetI32(hb + 4), fIn.order.GetI32(hb + 8)};
    SF_REQUIRE(h[1] > 0 && h[2] > 0, DatasrcMsg::Malformed);
    const int64_t bytes = int64_t(h[1]) * int64_t(h[2]);
    if (h[0] != kExtMachineIntegers && h[0] != kExtEncoding) return Skip(bytes);
    SF_REQUIRE(bytes <= fIn.Remaining(), DatasrcMsg::ShortRead);
    SystemFileExtensionRecord rec;
    rec.SetUnitSize(h[1]);
    rec.SetNUnits(h[2]);
    SF_REQUIRE(fIn.Read(rec.GetContents(), rec.ByteSize()) == size_t(bytes), DatasrcMsg::ShortRead);
    ReadExtensionRecord(h[0], scratch, fOptions, rec);
}

void EncodingScan::Skip(int64_t count) {
    SF_REQUIRE(count <= fIn.Remaining(), DatasrcMsg::ShortRead);
    char buffer[4096];
    while (count > 0) {
        const size_t step = size_t(std::min<int64_t>(count, int64_t(sizeof buffer)));
        SF_REQUIRE(fIn.Read(buffer, step) == step, DatasrcMsg::ShortRead);
        count -= int64_t(step);
    }
}

}  // namespace

bool SystemFileDataSource::ScanEncoding(const ExtNameStr& file, const ExtNameStr& password, bool mangled,
                                        std::string& encoding) {
    // A reader that opens the file but reads no dictionary: its stream and
    // its source (untouched by the two handlers) serve the scan.
    SystemFileDataSource scratch;
    scratch.m_->fileName = file;
    scratch.m_->_options._password = password;
    scratch.m_->passwordMangled = mangled;
    SystemFileOptions options;
    try {
        scratch.OpenStream("rb");
        VESK_StrBaseIO& stream = scratch.m_->Stream();
        const int kind = DetectFileKind(stream);
        if (kind == kENCRYPTED) return false;
        DictReader in(stream, scratch.m_->fileSize);
        EncodingScan(in, options).Run(kind, scratch);
    } catch (...) {
        return false;  // the full read raises what there is to raise
    }
    encoding = EncodingOf(options);
    return true;
}

void SystemFileDataSource::ReadDictionary() {
    SetFileSpec(m_->fileName);
    SystemFileOptions& o = m_->_options;
    try {
        VESK_StrBaseIO& stream = m_->Stream();
        const int type = DetectFileKind(stream);
        SF_REQUIRE(type != kENCRYPTED, DatasrcMsg::NeedsPassword);
        // The magic has been read; the rest of the header follows.
        DictReader in(stream, m_->fileSize);
        DictionaryReader reader(*this, o, in);
        reader.ReadHeader(type, !o._password.Empty());
        reader.ReadRecords();
        m_->_row0pos = m_->Stream().Tell();

        // The stored case and the logical case: they differ only by very long
        // strings, whose chunk entries must stay inside both.
        const int64_t stored = o._cellsPerCase;
        const int64_t logical = GetObsAreaSize();
        if (!o._veryLongStrings.empty()) o._chunks = SystemFileDechunker::Build(o._veryLongStrings, stored);
        if (o._chunks.empty()) {
            SF_REQUIRE(stored == logical, DatasrcMsg::Malformed);
        } else {
            SF_REQUIRE(SystemFileDechunker::Fits(o._chunks, stored, logical), DatasrcMsg::Malformed);
        }
        if (!o._swapFlags.empty()) SF_REQUIRE(int64_t(o._swapFlags.size()) == stored, DatasrcMsg::Malformed);
    } catch (const SystemFileException& e) {
        e.Raise(GetFileSpec());
    }

    FixVarNames(*this);
    if (!o._longNamesPresent) {
        char lower[kMaxNameBytes + 1];
        for (unsigned v = 0; v < ColumnCount(); ++v) {
            VESK_Variable& var = GetVariable(int(v));
            const std::string& name = var.GetName();
            VESKMBMvLower_A(lower, sizeof lower, name.data(), name.size());
            if (name != lower) var.SetName(lower);
        }
    }
    // Date variables were found by column while very long strings were still
    // in segments; re-find them by id in the final dictionary.
    GetTrendsInfo().Validate();
}

// ---------------------------------------------------------------- names

void SystemFileDataSource::FixVarNames(VESK_DataSource& source) { FixVarNames(source, nullptr); }

void SystemFileDataSource::FixVarNames(VESK_DataSource& source, ErrorMonitor* monitor) {
    const std::vector<std::pair<unsigned, std::string>> renames = NameReplacements(source);
    for (const auto& [column, name] : renames) source.GetVariable(int(column)).SetName(name.c_str());
    if (!renames.empty() && monitor) VeskReportWarning(monitor, DatasrcMsg::NamesReplaced, {"no message"}, 0);
}
