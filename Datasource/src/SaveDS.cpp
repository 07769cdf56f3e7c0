// The system-file writer: dictionary records, short names, very long string
// segments, case writing in the three compressions, appending and the
// case-count patch.
#define VESK_SOURCE_NAME "Datasource/src/SaveDS"

#include "SaveDS.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <set>
#include <unordered_map>

#include "CompressedSystemFile.h"
#include "SystemFileException.h"
#include "errortext.h"
#include "filestream.h"
#include "nameutil.h"
#include "passwordcrypt.h"
#include "sparsefileindex.h"
#include "sysfilecoding.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"

using namespace SysFileLayout;

namespace {

constexpr int kShortNameBytes = int(kVarNameSize);  // the name field of a variable record
constexpr int kLowestBuiltSubtype = 1;
constexpr int kHighestHandledSubtype = kExtDataEditorFormatting;  // records are built at least up to here
constexpr int64_t kMaxHeaderCount = INT32_MAX;
constexpr int kDefaultZlibWorkers = 2;

std::atomic<int> gZlibWorkers{kDefaultZlibWorkers};

// The file's byte order: the writer writes this machine's.
constexpr ByteOrder kOrder = ByteOrder::Native();

void PutI32(std::string& out, int32_t v) {
    unsigned char b[4];
    kOrder.PutI32(b, v);
    out.append(reinterpret_cast<const char*>(b), 4);
}

void PutCell(std::string& out, const OBS& cell) { out.append(cell.c, sizeof cell.c); }

// c in base 36, most significant digit first.
std::string Base36(unsigned c) {
    static const char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string s;
    do {
        s.insert(s.begin(), kDigits[c % 36]);
        c /= 36;
    } while (c != 0);
    return s;
}

}  // namespace

// ---------------------------------------------------------------- movers

class SystemFileDataSource::SaveDS::OrdinaryMover final : public Mover {
public:
    OrdinaryMover(size_t dest, size_t cells) : fDest(dest), fCells(cells) {}
    const OBS* Move(const OBS* source, OBS* output) const override {
        std::memcpy(output + fDest, source, fCells * sizeof(OBS));
        return source + fCells;
    }

private:
    size_t fDest;
    size_t fCells;
};

// One very long string of width w into n full segments of 256 bytes (255 text
// bytes and a space) and a last part of the remaining cells.
class SystemFileDataSource::SaveDS::EStringMover final : public Mover {
public:
    EStringMover(size_t dest, int width)
        : fDest(dest),
          fWidth(width),
          fSegments(FullSegments(width)),
          fLastCells(StoredCells(width) - kSegmentCells * FullSegments(width)),
          fSingleByte(VESKMBMaxCharLen() == 1) {}

    const OBS* Move(const OBS* source, OBS* output) const override {
        const char* src = reinterpret_cast<const char*>(source);
        char* out = reinterpret_cast<char*>(output + fDest);
        size_t left = size_t(fWidth);
        for (int s = 0; s < fSegments; ++s) {
            size_t take;
            if (left <= size_t(kSegmentTextBytes)) {
                take = left;
            } else if (src[kSegmentTextBytes - 1] == ' ' || fSingleByte) {
                take = kSegmentTextBytes;
            } else {
                // Whole characters only: a segment never ends inside one.
                take = 0;
                while (take < size_t(kSegmentTextBytes)) {
                    int n = VESKMBmblen_A(src + take, left - take);
                    if (n < 1) n = 1;
                    if (take + size_t(n) > size_t(kSegmentTextBytes)) break;
                    take += size_t(n);
                }
            }
            std::memcpy(out, src, take);
            std::memset(out + take, left > take ? 0 : ' ', size_t(kSegmentTextBytes) - take);
            out[kSegmentTextBytes] = ' ';
            src += take;
            left -= take;
            out += kSegmentBytes;
        }
        const size_t last = size_t(fLastCells) * sizeof(OBS);
        const size_t copy = std::min(left, last);
        std::memcpy(out, src, copy);
        std::memset(out + copy, ' ', last - copy);
        return source + CellsForType(fWidth);
    }

private:
    size_t fDest;
    int fWidth;
    int fSegments;
    int fLastCells;
    bool fSingleByte;
};

// ---------------------------------------------------------------- construction

SystemFileDataSource::SaveDS::SaveDS(const SystemFileDataSource& owner, VESK_FileStream& stream,
                                     SystemFileOptions& options)
    : VESK_DataSource(owner),
      fOwner(owner),
      fLogicalCells(owner.GetObsAreaSize()),
      fStream(stream),
      fOptions(options) {
    CopyDictionary(owner);
}

SystemFileDataSource::SaveDS::~SaveDS() {
    try {
        Finish();
    } catch (...) {
        // A destructor cannot report; the owner's Close calls Finish first.
    }
}

void SystemFileDataSource::SaveDS::SetZlibWorkers(int workers) {
    VESK_ASSERT(workers >= 0 && workers <= 64);
    gZlibWorkers.store(workers);
}

int64_t SystemFileDataSource::SaveDS::FinalCount() const {
    return fRowsBefore < 0 ? -1 : fRowsBefore + fRowsWritten;
}

// ---------------------------------------------------------------- dictionary

void SystemFileDataSource::SaveDS::BuildExtensions(std::vector<std::unique_ptr<SystemFileExtensionRecord>>& records) {
    // Raw blocks above the handled range are written back too.
    int highest = kHighestHandledSubtype;
    for (int t = kMaxExtensionSubtype; t > kHighestHandledSubtype; --t) {
        if (HasExtension(t)) {
            highest = t;
            break;
        }
    }
    records.clear();
    records.resize(size_t(highest) + 1);
    // From the top down: the later (lower) handlers see what the earlier ones
    // did to the copy (short names, segments).
    for (int t = highest; t >= kLowestBuiltSubtype; --t) {
        records[size_t(t)] = std::make_unique<SystemFileExtensionRecord>();
        WriteExtensionRecord(t, *this, *records[size_t(t)], this);
    }
    StripWideStringDescriptions();
}

// Value labels and missing values of strings wider than 8 bytes do not fit the
// 8-byte values of the variable and value-label records; the handlers of
// subtypes 21 and 22 carry them and clear them in the copy. Where such a
// handler is not registered, they are cleared here so that no truncated value
// reaches the file.
void SystemFileDataSource::SaveDS::StripWideStringDescriptions() {
    const bool labels = FindExtensionHandler(kExtLongStringLabels) == nullptr;
    const bool missing = FindExtensionHandler(kExtLongStringMissing) == nullptr;
    for (unsigned v = 0; v < ColumnCount(); ++v) {
        VESK_Variable& var = GetVariable(int(v));
        if (var.GetType() <= 8) continue;
        if (labels && var.GetValueLabels().IsValid()) var.SetValueLabels(VESK_VLImplPointer());
        const OBS *a, *b, *c;
        if (missing && var.GetMissingValues(a, b, c) != 0) var.SetMissingValues(0, nullptr, nullptr, nullptr);
    }
}

void SystemFileDataSource::SaveDS::BuildDictionary() {
    if (fBuilt) return;
    {
        std::set<std::string> names;
        for (unsigned v = 0; v < ColumnCount(); ++v) {
            const VESK_Variable& var = GetVariable(int(v));
            if (!names.insert(var.GetUpperCaseName()).second)
                ThrowError::String1(DATASRC_ERR, DatasrcMsg::DuplicateName, var.GetName());
        }
    }
    std::vector<std::unique_ptr<SystemFileExtensionRecord>> records;
    BuildExtensions(records);

    std::string& out = fDictionary;
    out.clear();
    out.reserve(4096);
    EncodeHeader(out);
    for (unsigned v = 0; v < ColumnCount(); ++v) EncodeVariable(out, GetVariable(int(v)));
    EncodeValueLabels(out);
    EncodeDocuments(out);
    for (size_t t = 0; t < records.size(); ++t) {
        if (!records[t] || records[t]->IsEmpty()) continue;
        const SystemFileExtensionRecord& rec = *records[t];
        PutI32(out, kRecExtension);
        PutI32(out, int32_t(t));
        PutI32(out, rec.UnitSize());
        PutI32(out, rec.NUnits());
        if (t == kExtCaseCount) fCountOffset = int64_t(out.size());
        out.append(reinterpret_cast<const char*>(rec.Contents()), rec.ByteSize());
    }
    PutI32(out, kRecTermination);
    PutI32(out, kTerminationFiller);
    fCaseBytes = size_t(GetObsAreaSize()) * sizeof(OBS);
    fBuilt = true;
}

void SystemFileDataSource::SaveDS::WriteDictionary() {
    BuildDictionary();
    const int64_t base = fStream.Tell();
    if (fCountOffset >= 0) fCountRecordPos = base + fCountOffset;
    const size_t written = fStream.Write(fDictionary.data(), fDictionary.size());
    fFailed = written != fDictionary.size();
    SF_REQUIRE_SYS(written == fDictionary.size(), DatasrcMsg::CannotWriteCase);
    fDictionary = std::string();
}

void SystemFileDataSource::SaveDS::EncodeHeader(std::string& out) const {
    SystemFileHeader h;
    std::memcpy(h.magic, fOptions._compression == kCompressZlib ? kMagicZlib : kMagicPlain, kMagicSize);
    h.product = fOptions._eyeCatcher;
    h.layoutCode = fOptions._layoutCode;
    h.nominalCaseSize = int32_t(GetObsAreaSize());
    h.compression = fOptions._compression;
    h.weightIndex = ObsIndex(GetWeightVarIndex()) + 1;
    h.caseCount = fOptions._nCases >= 0 && fOptions._nCases <= kMaxHeaderCount ? int32_t(fOptions._nCases) : -1;
    h.bias = fOptions._bias;
    FormatCreationDateTime(std::time(nullptr), h.date, h.time);
    const char* label = GetLabel();
    h.label = label ? label : "";
    unsigned char bytes[kHeaderSize];
    h.Encode(bytes, kOrder);
    out.append(reinterpret_cast<const char*>(bytes), kHeaderSize);
}

void SystemFileDataSource::SaveDS::EncodeVariable(std::string& out, const VESK_Variable& var) const {
    const VESK_VariableImpl& body = *var.Impl();
    const OBS* missing[3];
    const int rule = body.GetMissingValues(missing[0], missing[1], missing[2]);
    const char* label = body.GetLabel();

    SystemFileVariableRecord r;
    r.type = body.GetType();
    r.hasLabel = label ? 1 : 0;
    r.missingCount = rule;
    r.printFormat = uint32_t(body.GetFormat());
    r.writeFormat = uint32_t(body.GetWriteFormat());
    r.SetName(body.GetName());
    unsigned char fixed[kVarFixedSize];
    r.Encode(fixed, kOrder);
    PutI32(out, kRecVariable);
    out.append(reinterpret_cast<const char*>(fixed), kVarFixedSize);

    if (label) {
        const std::string& text = *body.GetVarLabelPtr();
        PutI32(out, int32_t(text.size()));
        out.append(text);
        out.append(VarLabelStoredSize(text.size()) - text.size(), ' ');
    }
    const int nMissing = rule < 0 ? -rule : rule;
    for (int k = 0; k < nMissing; ++k) PutCell(out, *missing[k]);

    if (r.type > 8) {
        const SystemFileVariableRecord cont = SystemFileVariableRecord::Continuation();
        cont.Encode(fixed, kOrder);
        const int n = (r.type - 9) / 8 + 1;
        for (int k = 0; k < n; ++k) {
            PutI32(out, kRecVariable);
            out.append(reinterpret_cast<const char*>(fixed), kVarFixedSize);
        }
    }
}

// One record pair per map body, in the order of the first variable holding
// it, listing every variable that shares it. Grouped in one pass over the
// dictionary, so a file with a map per variable is not quadratic.
void SystemFileDataSource::SaveDS::EncodeValueLabels(std::string& out) const {
    std::vector<const VESK_VLMapImpl*> order;
    std::unordered_map<const VESK_VLMapImpl*, std::vector<int32_t>> positions;
    for (unsigned v = 0; v < ColumnCount(); ++v) {
        const VESK_VLImplPointer& map = GetVariable(int(v)).GetValueLabels();
        if (!map.IsValid()) continue;
        auto [it, fresh] = positions.try_emplace(map.get());
        if (fresh) order.push_back(map.get());
        it->second.push_back(ObsIndex(int(v)) + 1);
    }
    for (const VESK_VLMapImpl* map : order) {
        PutI32(out, kRecValueLabels);
        PutI32(out, map->Size());
        for (const ValueLabel& pair : map->Pairs()) {
            PutCell(out, pair.value.front());
            const size_t k = std::min(pair.label.size(), kMaxValueLabelLength);
            out.push_back(char(uint8_t(k)));
            out.append(pair.label, 0, k);
            out.append(ValueLabelStoredSize(k) - 1 - k, ' ');
        }
        const std::vector<int32_t>& at = positions[map];
        PutI32(out, kRecValueLabelVars);
        PutI32(out, int32_t(at.size()));
        for (int32_t p : at) PutI32(out, p);
    }
}

void SystemFileDataSource::SaveDS::EncodeDocuments(std::string& out) const {
    if (!HasExtension(kExtDocuments)) return;
    Extension block(*this, kExtDocuments);
    const long len = block.Length();
    const size_t bytes = size_t(block.ElementSize()) * size_t(len);
    std::string lines(bytes, '\0');
    const long got = block.GetNext(lines.data(), long(bytes));
    VESK_ASSERT(got == len);
    const size_t nLines = bytes / kDocumentLineSize;
    PutI32(out, kRecDocument);
    PutI32(out, int32_t(nLines));
    out.append(lines, 0, nLines * kDocumentLineSize);
}

// ---------------------------------------------------------------- names and segments

std::vector<std::pair<std::string, std::string>>& SystemFileDataSource::SaveDS::AssignShortNames() {
    std::vector<std::pair<std::string, std::string>>& table = fOptions._longNames;
    if (!table.empty()) return table;
    const unsigned n = ColumnCount();
    table.resize(n);
    std::set<std::string> used;
    std::vector<bool> named(n, false);

    for (unsigned v = 0; v < n; ++v) {
        const VESK_Variable& var = GetVariable(int(v));
        table[v].first = var.GetName();
        const std::string& upper = var.GetUpperCaseName();
        if (upper.size() <= size_t(kShortNameBytes)) {
            table[v].second = upper;
            used.insert(upper);
            named[v] = true;
        }
    }
    char buffer[kShortNameBytes + 1];
    for (unsigned v = 0; v < n; ++v) {
        if (named[v]) continue;
        CopyNameTruncated(buffer, GetVariable(int(v)).GetUpperCaseName().c_str(), kShortNameBytes);
        StripNameEnd(buffer);
        if (buffer[0] != '\0' && used.insert(buffer).second) {
            table[v].second = buffer;
            named[v] = true;
        }
    }
    for (unsigned v = 0; v < n; ++v) {
        if (named[v]) continue;
        char base[32];
        std::snprintf(base, sizeof base, "V%u", v + 1);
        for (int k = 0;; ++k) {
            if (MakeShortSuffixedName(buffer, base, k, kShortNameBytes) != 0)
                ThrowError::String1(DATASRC_ERR, DatasrcMsg::NoShortName, GetVariable(int(v)).GetName());
            if (used.insert(buffer).second) break;
        }
        table[v].second = buffer;
    }
    return table;
}

void SystemFileDataSource::SaveDS::SplitVeryLongStrings(const std::vector<std::pair<int, int>>& strings) {
    if (strings.empty()) return;
    fVeryLongStrings.assign(strings.begin(), strings.end());

    // Movers, from the logical layout (before any split).
    fMovers.clear();
    size_t s = 0, d = 0;
    size_t physical = GetObsAreaSize();
    for (const auto& [index, width] : strings) {
        const size_t p = size_t(ObsIndex(index));
        VESK_ASSERT(p >= s);
        if (p > s) {
            fMovers.push_back(std::make_unique<OrdinaryMover>(d, p - s));
            d += p - s;
            s = p;
        }
        fMovers.push_back(std::make_unique<EStringMover>(d, width));
        s += size_t(CellsForType(width));
        d += size_t(StoredCells(width));
        physical += size_t(StoredCells(width) - CellsForType(width));
    }
    if (d < physical) fMovers.push_back(std::make_unique<OrdinaryMover>(d, physical - d));
    fOutput.assign(physical, OBS{});

    std::set<std::string> used;
    for (const auto& pair : AssignShortNames()) used.insert(pair.second);
    for (auto it = strings.rbegin(); it != strings.rend(); ++it) {
        const int i = it->first;
        const int w = it->second;
        const int n = FullSegments(w);
        const int rem = w - n * kSegmentWidthDivisor;
        VESK_Variable copy = GetVariable(i);
        copy.SetType(kMaxRecordStringWidth);
        copy.SetFormat(VESK_Variable::eFmtString, kMaxRecordStringWidth, 0);
        const std::string base = VESKMBLeadingCharacters(copy.GetUpperCaseName(), kSegmentNameBaseBytes);
        DeleteVariables(i, i);
        unsigned c = 0;
        for (int k = 0; k < SegmentCount(w); ++k) {
            if (k == n) {
                copy.SetType(rem);
                copy.SetFormat(VESK_Variable::eFmtString, rem, 0);
            }
            if (k > 0) {
                std::string candidate;
                do {
                    candidate = base + Base36(c++);
                } while (used.count(candidate) != 0);
                copy.SetName(candidate.c_str());
                used.insert(copy.GetUpperCaseName());
            }
            InsertVariable(i + k, copy);
        }
    }

    // Where a reader of the file finds them.
    fStoredStrings.clear();
    int shift = 0;
    for (const auto& [index, width] : strings) {
        const int stored = index + shift;
        fStoredStrings.push_back({stored, width, ObsIndex(stored)});
        shift += SegmentCount(width) - 1;
    }
}

// ---------------------------------------------------------------- cases

void SystemFileDataSource::SaveDS::SetupCompression(VESK_SparseFileIndex* index, int64_t row0) {
    if (fOptions._compression == kCompressBytecode) {
        fCompressor = std::make_unique<CompressedSystemFile>(&fStream, &fOptions, index, row0);
    } else if (fOptions._compression == kCompressZlib) {
        // The zlib layer writes through its own copy of the stream. The
        // dictionary is written out first; the stream stays open, unused, so
        // that closing it at the end reports whether the file closed cleanly.
        fFailed = !fStream.Flush();
        SF_REQUIRE_SYS(!fFailed, DatasrcMsg::CannotWriteCase);
        fZStream = std::make_unique<zcmpsFilestr>(fStream);
        const int workers = gZlibWorkers.load();
        if (workers > 0) {
            fZStream->setWorkerCount(workers);
            fZStream->setMultiThread(1);
        }
        fZStream->setRow0Pos(row0, false);
        fCompressor = std::make_unique<CompressedSystemFile>(fZStream.get(), &fOptions, index, row0);
    }
}

void SystemFileDataSource::SaveDS::PrepareAppend(int64_t countRecordPos, int64_t rowsBefore,
                                                 VESK_SparseFileIndex* index, int64_t row0) {
    fCountRecordPos = countRecordPos > 0 ? countRecordPos : 0;
    fRowsBefore = rowsBefore;
    // The records are built only for what they do to the copy (short names,
    // segments, movers); the table is built afresh and the owner's kept.
    std::vector<std::pair<std::string, std::string>> saved;
    saved.swap(fOptions._longNames);
    try {
        std::vector<std::unique_ptr<SystemFileExtensionRecord>> records;
        BuildExtensions(records);
    } catch (...) {
        fOptions._longNames.swap(saved);
        throw;
    }
    fOptions._longNames.swap(saved);
    // The dictionary must still describe the file's cases.
    VESK_ASSERT(int64_t(GetObsAreaSize()) == fOptions._cellsPerCase);
    fCaseBytes = size_t(GetObsAreaSize()) * sizeof(OBS);

    const bool reversed = fOptions._reversed;
    const int64_t target = rowsBefore < 0 ? INT64_MAX : rowsBefore;
    switch (fOptions._compression) {
    case kCompressNone:
        if (rowsBefore < 0) {
            SF_REQUIRE_SYS(fStream.Seek(0, VESK_StrBaseIO::SeekFromEnd) == 0, DatasrcMsg::CannotWriteCase);
            const int64_t bytes = std::max<int64_t>(0, fStream.Tell() - row0);
            fRowsBefore = fCaseBytes ? bytes / int64_t(fCaseBytes) : 0;
        }
        break;
    case kCompressBytecode:
        fCompressor = std::make_unique<CompressedSystemFile>(&fStream, &fOptions, index, row0);
        fCompressor->PrepareAppend(target, false);
        if (rowsBefore < 0) fRowsBefore = fCompressor->CurrentRow();
        break;
    case kCompressZlib: {
        fZStream = std::make_unique<zcmpsFilestr>(fStream);  // the stream stays open, as for a new file
        const int workers = gZlibWorkers.load();
        if (workers > 0) fZStream->setWorkerCount(workers);
        fZStream->readFilePosInfo(row0, reversed);
        fCompressor = std::make_unique<CompressedSystemFile>(fZStream.get(), &fOptions, index, row0);
        fCompressor->PrepareAppend(target, false);
        if (rowsBefore < 0) fRowsBefore = fCompressor->CurrentRow();
        fZStream->setFileToAppend(fZStream->Tell(), reversed);
        if (workers > 0) fZStream->setMultiThread(1);
        break;
    }
    default:
        VESK_ASSERT(false && "unknown compression code");
    }
}

void SystemFileDataSource::SaveDS::WriteCase(const OBS* cells) {
    // A dictionary changed after the commit no longer matches the cases.
    VESK_ASSERT(fOwner.GetObsAreaSize() == fLogicalCells);
    // After a lost write the file has a gap: no case may follow it.
    SF_REQUIRE(!fFailed, DatasrcMsg::CannotWriteCase);
    const OBS* physical = cells;
    if (!fMovers.empty()) {
        OBS* const output = fOutput.data();
        const OBS* source = cells;
        for (const auto& mover : fMovers) source = mover->Move(source, output);
        physical = output;
    }
    try {
        if (fCompressor) {
            fCompressor->WriteRow(physical);
        } else {
            const size_t toWrite = fCaseBytes;
            if (fStream.Write(physical, toWrite) != toWrite)
                throw SystemFileException(VESK_SOURCE_NAME, "toWrite", DatasrcMsg::CannotWriteCase, __LINE__, true);
        }
    } catch (...) {
        fFailed = true;
        throw;
    }
    ++fRowsWritten;
}

// ---------------------------------------------------------------- finishing

// Each step runs even when one before it failed (the compressor and the zlib
// layer must be shut down either way); the first failure is raised at the
// end, with errno as it was then.
void SystemFileDataSource::SaveDS::Finish() {
    if (fFinished) return;
    fFinished = true;
    std::exception_ptr failure;
    int failureErrno = 0;
    auto step = [&](auto&& run) {
        try {
            run();
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
                failureErrno = errno;
            }
        }
    };
    step([&] { SF_REQUIRE(!fFailed, DatasrcMsg::CannotWriteCase); });
    step([&] {
        if (fCompressor) fCompressor->Flush();
    });
    fCompressor.reset();
    step([&] {
        if (fZStream) SF_REQUIRE_SYS(fZStream->Close(), DatasrcMsg::CannotWriteCase);
    });
    fZStream.reset();
    step([&] { SF_REQUIRE_SYS(fStream.Flush(), DatasrcMsg::CannotWriteCase); });
    // A file whose cases did not all arrive keeps the count written first.
    const int64_t count = FinalCount();
    if (!failure && (count != fOptions._nCases || count > kMaxHeaderCount)) step([&] { PatchCaseCount(count); });
    fMovers.clear();
    fOutput = std::vector<OBS>();
    if (!failure) return;
    fFailed = true;
    errno = failureErrno;
    std::rethrow_exception(failure);
}

void SystemFileDataSource::SaveDS::PatchCaseCount(int64_t count) {
    // The file was opened with the password's unmangled form when it is
    // stored mangled.
    const ExtNameStr name = fStream.GetNameStr();
    SF_REQUIRE_SYS(fStream.Close(), DatasrcMsg::CannotWriteCase);
    ExtNameStr password = fOptions._password;
    if (!password.Empty() && fOwner.GetPasswordMangled()) password = PasswordCrypt::decrypt(fOptions._password);
    const bool reopened = fStream.Open(name, password, "rb+") != 0;
    password.Wipe();
    if (!reopened)
        throw SystemFileException(VESK_SOURCE_NAME, "Open(name, password, \"rb+\")", DatasrcMsg::CannotOpen, __LINE__,
                                  true);
    fStream.ClearAndReset();
    const ByteOrder order(fOptions._reversed);
    unsigned char b4[4];
    order.PutI32(b4, count <= kMaxHeaderCount ? int32_t(count) : -1);
    PatchAt(int64_t(kOffCaseCount), b4, sizeof b4);
    if (fCountRecordPos > 0) {
        unsigned char b8[8];
        order.PutI64(b8, count);
        PatchAt(fCountRecordPos + 8, b8, sizeof b8);
    }
}

void SystemFileDataSource::SaveDS::PatchAt(int64_t position, const void* bytes, size_t size) {
    SF_REQUIRE_SYS(fStream.Seek(position, VESK_StrBaseIO::SeekFromStart) == 0, DatasrcMsg::CannotWriteCase);
    SF_REQUIRE_SYS(fStream.Write(bytes, size) == size && fStream.Flush(), DatasrcMsg::CannotWriteCase);
}
