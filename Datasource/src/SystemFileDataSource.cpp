// Reading a system file: opening, the header and dictionary records, name
// repair, file properties, and the case iterator over the three data areas.
#define VESK_SOURCE_NAME "Datasource/src/SystemFileDataSource"

#include "SystemFileDataSource.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <limits>
#include <set>
#include <vector>

#include "CodePageDataSource.h"
#include "CompressedSystemFile.h"
#include "SaveDS.h"
#include "SystemFileDechunker.h"
#include "SystemFileExtensionRecord.h"
#include "cryptfile.h"
#include "dictnry.h"
#include "errortext.h"
#include "filestream.h"
#include "passwordcrypt.h"
#include "replacingfile.h"
#include "sparsefileindex.h"
#include "sysfilelayout.h"
#include "UTF8DataSource.h"
#include "tempdirs.h"
#include "valuelabelmap.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"
#include "zcompressedfilestr.h"

using namespace SysFileLayout;
using int32 = int32_t;

// ---------------------------------------------------------------- body

struct SystemFileDataSource::Impl {
    int32_t state = 0;  // 0 new, 1 writing, 2 open for reading
    SystemFileOptions _options;
    bool passwordMangled = false;
    VESK_FileStream _file{true};
    VESK_SparseFileIndex rowIndex{1};
    int64_t _row0pos = 0;
    int64_t nCasesLoc = -1;
    ExtNameStr fileName;
    uint32_t openIterators = 0;
    bool closedAfterWriting = false;
    std::unique_ptr<zcmpsFilestr> zreader;  // compression code 2 only
    std::unique_ptr<CryptFileStream> crypt;  // with a password only
    int64_t fileSize = 0;                   // bytes of the file when opened
    // Name under which this reader stands in the open-file registry.
    std::string registered;
    bool isRegistered = false;
    // Writing: the writer while the state is 1; after writing or appending the
    // stream must be opened again for reading.
    std::unique_ptr<SaveDS> writer;
    bool reopenForReading = false;
    // Replacing writes: the temporary file written until Close renames it
    // onto the file specification.
    bool replaceOnClose = false;
    std::unique_ptr<VESK_ReplacingFile> replacing;
    bool writeFailed = false;  // a write failed: no rows are taken any more

    bool Encrypted() const { return !_options._password.Empty(); }
    // The stream the file's bytes go through: the encrypted stream when there
    // is a password, else _file.
    VESK_FileStream& Stream() {
        if (!Encrypted()) return _file;
        if (!crypt) crypt = std::make_unique<CryptFileStream>();
        return *crypt;
    }
    // Closes the stream in use; false when the file could not be closed or an
    // encrypted file could not be written completely.
    bool CloseStream() {
        if (!crypt) return _file.Close() != 0;
        return crypt->Close() && !crypt->CommitFailed();
    }
};

namespace {

constexpr int kErrCommittedTwice = 1209;
constexpr int kErrWrongPassword = 1213;
constexpr int kErrEncryptedNoPassword = 1214;
constexpr int kErrNoLongName = 1507;
constexpr int kWarnEncoding = 1721;
constexpr int kWarnNamesReplaced = 1722;
constexpr size_t kMaxNameBytes = 64;
// Smallest value label: the value, the length byte and its padding.
constexpr int64_t kMinValueLabelBytes = int64_t(kValueLabelValueSize + ValueLabelStoredSize(0));

// Open-file registry: UTF-8 names of readers whose dictionary has been read.
std::vector<std::string>& OpenFiles() {
    static std::vector<std::string> files;
    return files;
}

std::string DefaultEncoding() { return qUTF8mode() ? std::string("UTF-8") : std::string(VESKMBDefaultCodePage()); }

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

// Copies a name into out (65 bytes), cut to 64 bytes on a character boundary.
void CopyName(char* out, const std::string& name) {
    const size_t n = std::min(name.size(), kMaxNameBytes);
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
    VESKMBStringTruncate_A(out, n);
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
    SF_REQUIRE(len == sizeof(int32), kErrShortRead);
    return in.order.GetI32(b);
}

// The character test of FixVarNames for the character at p; its length in len.
bool NameCharOK(const char* p, size_t remaining, int& len) {
    len = VESKMBmblen_A(p, std::min<size_t>(remaining, 4));
    if (len < 1) return false;
    if (len >= 2) return true;
    const unsigned char c = static_cast<unsigned char>(p[0]);
    if (c >= 0x80) return true;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return c != 0 && std::strchr("@#$_.", c) != nullptr;
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

}  // namespace

// ---------------------------------------------------------------- construction

SystemFileDataSource::SystemFileDataSource() : m_(new Impl) { m_->_options._encoding = DefaultEncoding(); }

SystemFileDataSource::SystemFileDataSource(const ExtNameStr& file, const ExtNameStr& password, bool mangled)
    : m_(new Impl) {
    init(file, password, mangled);
}

SystemFileDataSource::SystemFileDataSource(std::string file, std::string password, bool mangled) : m_(new Impl) {
    ExtNameStr name(file.c_str());
    ExtNameStr pw;
    if (!password.empty()) pw.SetU8(password);
    init(name, pw, mangled);
}

SystemFileDataSource::~SystemFileDataSource() {
    if (m_->isRegistered) {
        std::vector<std::string>& files = OpenFiles();
        auto it = std::find(files.begin(), files.end(), m_->registered);
        if (it != files.end()) files.erase(it);
    }
    m_->zreader.reset();
    if (m_->state == 1 && m_->replacing && std::uncaught_exceptions() > 0) {
        // Unwinding past a replacing write that was never closed: the new
        // file is incomplete, so the old one stays.
        m_->writer->Abandon();
        m_->writer.reset();
        m_->_file.Close();
    } else if (m_->state == 1) {
        try {
            Close();
        } catch (...) {
            // A destructor cannot report; callers that care call Close.
        }
    }
    m_->_options._password.Wipe();
}

void SystemFileDataSource::init(const ExtNameStr& file, const ExtNameStr& password, bool mangled) {
    m_->fileName = file;
    m_->_options._password = password;
    m_->passwordMangled = mangled;
    OpenStream("rb");
    ReadDictionary();
    SetDirty(false);
    if (m_->_options._password.Empty() && m_->_options._compression == kCompressZlib) {
        m_->zreader = std::make_unique<zcmpsFilestr>(m_->_file);
        m_->zreader->readFilePosInfo(m_->_row0pos, m_->_options._reversed);
    }
    m_->state = 2;
    m_->registered = file.GetU8();
    OpenFiles().push_back(m_->registered);
    m_->isRegistered = true;
}

void SystemFileDataSource::OpenStream(const char* mode) const {
    if (m_->Encrypted()) {
        OpenEncrypted(m_->fileName, mode);
    } else if (!m_->_file.Open(m_->fileName, m_->_options._password, mode)) {
        ThrowError::StringSys(DATASRC_ERR, kErrCannotOpen, m_->fileName.GetGeneric());
    }
    VESK_FileStream& stream = m_->Stream();
    stream.Seek(0, VESK_StrBaseIO::SeekFromEnd);
    m_->fileSize = stream.Tell();
    stream.Seek(0, VESK_StrBaseIO::SeekFromStart);
}

// Tries the password as stored and its unmangled form, the unmangled one
// first when the password is stored mangled; when only the second form opens
// the file, the mangled flag turns over.
void SystemFileDataSource::OpenEncrypted(const ExtNameStr& path, const char* mode) const {
    CryptFileStream& crypt = static_cast<CryptFileStream&>(m_->Stream());
    ExtNameStr unmangled = PasswordCrypt::decrypt(m_->_options._password);
    const bool mangled = m_->passwordMangled;
    const ExtNameStr& first = mangled ? unmangled : m_->_options._password;
    const ExtNameStr& second = mangled ? m_->_options._password : unmangled;
    bool opened = crypt.Open(path, first, mode) != 0;
    if (!opened && !(second == first) && crypt.Open(path, second, mode)) {
        opened = true;
        m_->passwordMangled = !mangled;
    }
    unmangled.Wipe();
    if (opened) return;
    // A new file (possibly a temporary one beside it) is named as the file
    // the caller gave; only a file that exists can have the wrong password.
    const bool creating = std::strchr(mode, 'w') != nullptr;
    if (!creating && path.Access(ExtNameStr::Exists) == 0 && path.Access(ExtNameStr::Write) == 0)
        ThrowError::String1(DATASRC_ERR, kErrWrongPassword, path.GetGeneric());
    ThrowError::StringSys(DATASRC_ERR, kErrCannotOpen, creating ? m_->fileName.GetGeneric() : path.GetGeneric());
}

// ---------------------------------------------------------------- dictionary

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
    SF_REQUIRE(nRead == len1, kErrShortRead);
    SystemFileHeader h;
    fIn.order = h.Decode(header);
    fOptions._reversed = fIn.order.Reversed();
    fOptions._eyeCatcher = TrimRight(h.product);
    fOptions._layoutCode = h.layoutCode;
    fOptions._cellsPerCase = h.nominalCaseSize;
    // The data area is read by its code; codes the reader does not know, and
    // the zlib code inside an encrypted file (no zlib layer there), are malformed.
    const int32_t compression = h.compression;
    SF_REQUIRE(compression >= kCompressNone && compression <= kCompressZlib, kErrMalformed);
    SF_REQUIRE(!(encrypted && compression == kCompressZlib), kErrMalformed);
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
        SF_REQUIRE(len == sizeof(recType), kErrShortRead);
        recType = fIn.order.GetI32(typeBytes);
        if (recType != kRecVariable && !fVariablesDone) EndOfVariables();
        switch (recType) {
        case kRecVariable:
            // The variable list ends at the first record of another type.
            SF_REQUIRE(!fVariablesDone, kErrMalformed);
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
            SF_REQUIRE(n == sizeof(padding), kErrShortRead);
            return;
        }
        default:
            SF_REQUIRE(false, kErrMalformed);
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
    SF_REQUIRE(len == sizeof(fixed), kErrShortRead);
    SystemFileVariableRecord r;
    r.Decode(fixed, fIn.order);
    // A record's width is at most 255; wider strings come as segments.
    SF_REQUIRE(r.type >= kContinuationType && r.type <= kMaxRecordStringWidth, kErrMalformed);
    // Room for three values: 1..3 discrete, -2 a range, -3 a range and one value.
    SF_REQUIRE(r.missingCount >= kMissingRangeAndValue && r.missingCount <= kMaxMissingValues &&
                   r.missingCount != -1,
               kErrMalformed);

    std::string label;
    if (r.hasLabel) {
        const int32_t labelLength = ReadInt(fIn);
        SF_REQUIRE(labelLength >= 0, kErrMalformed);
        const int64_t stored = int64_t(VarLabelStoredSize(size_t(labelLength)));
        SF_REQUIRE(stored <= fIn.Remaining(), kErrShortRead);
        label.resize(size_t(stored));
        const size_t n = fIn.Read(label.data(), label.size());
        SF_REQUIRE(n == label.size(), kErrShortRead);
        label.resize(size_t(labelLength));
    }
    const int nMissing = r.missingCount < 0 ? -r.missingCount : r.missingCount;
    OBS missing[kMaxMissingValues];
    if (nMissing > 0) {
        const size_t n = fIn.Read(missing, size_t(nMissing) * sizeof(OBS));
        SF_REQUIRE(n == size_t(nMissing) * sizeof(OBS), kErrShortRead);
    }
    if (r.type < 0) return;  // a continuation cell: nothing of it is kept

    VESK_Variable& var = fDict.MakeVariable(r.type);
    var.SetName(r.Name().c_str());
    var.SetFormat(DecodeFormatWord(r.printFormat));
    var.SetWriteFormat(DecodeFormatWord(r.writeFormat));
    if (r.hasLabel) var.SetLabel(label.data(), unsigned(label.size()));
    if (nMissing > 0) {
        if (r.type == 0)
            for (int k = 0; k < nMissing; ++k) fIn.order.FixCell(missing[k]);
        var.SetMissingValues(r.missingCount, &missing[0], &missing[1], &missing[2]);
    }
}

void DictionaryReader::ReadValueLabels() {
    const int32 nLabels = ReadInt(fIn);
    SF_REQUIRE(nLabels >= 0, kErrMalformed);
    SF_REQUIRE(int64_t(nLabels) * kMinValueLabelBytes <= fIn.Remaining(), kErrShortRead);
    std::vector<std::pair<OBS, std::string>> pairs;
    pairs.reserve(size_t(nLabels));
    std::string text;
    for (int32 i = 0; i < nLabels; ++i) {
        std::string header(kValueLabelValueSize + 1, '\0');
        size_t len = fIn.Read(header.data(), header.size());
        SF_REQUIRE(len == header.size(), kErrShortRead);
        const size_t k = static_cast<unsigned char>(header[kValueLabelValueSize]);
        const size_t paddedLen = ValueLabelStoredSize(k) - 1;
        text.resize(paddedLen);
        len = fIn.Read(text.data(), paddedLen);
        SF_REQUIRE(len == paddedLen, kErrShortRead);
        OBS value;
        std::memcpy(value.c, header.data(), sizeof value);
        pairs.emplace_back(value, text.substr(0, k));
    }

    unsigned char hb[kValueLabelVarsHeaderSize];
    size_t len = fIn.Read(hb, sizeof hb);
    SF_REQUIRE(len == 2*sizeof(int32), kErrShortRead);
    const int32 h[2] = {fIn.order.GetI32(hb), fIn.order.GetI32(hb + 4)};
    SF_REQUIRE(h[0] == 4, kErrMalformed);
    SF_REQUIRE(h[1] > 0, kErrMalformed);
    const int64_t nVars = h[1];
    SF_REQUIRE(nVars * int64_t(sizeof(int32)) <= fIn.Remaining(), kErrShortRead);
    std::vector<unsigned char> raw(size_t(nVars) * sizeof(int32));
    len = fIn.Read(raw.data(), raw.size());
    SF_REQUIRE(len == nVars*sizeof(int32), kErrShortRead);

    // Every listed position must start a variable, all of the same kind
    // (numeric or string) as the first, which decides the map's type.
    std::vector<int> columns;
    columns.reserve(size_t(nVars));
    for (int64_t i = 0; i < nVars; ++i) {
        const int index = fDict.GetIndex(fIn.order.GetI32(raw.data() + 4 * i));
        SF_REQUIRE(index >= 0, kErrMalformed);
        columns.push_back(index);
    }
    const int type = fSource.GetVariable(columns.front()).GetType();
    for (int c : columns) SF_REQUIRE((fSource.GetVariable(c).GetType() == 0) == (type == 0), kErrMalformed);

    if (type == 0)
        for (auto& pair : pairs) fIn.order.FixCell(pair.first);
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
    SF_REQUIRE(nLines >= 0, kErrMalformed);
    const int64_t bytes = int64_t(nLines) * int64_t(kDocumentLineSize);
    SF_REQUIRE(bytes <= fIn.Remaining(), kErrShortRead);
    std::vector<char> lines(static_cast<size_t>(bytes));
    const size_t len = fIn.Read(lines.data(), lines.size());
    SF_REQUIRE(len == size_t(bytes), kErrShortRead);
    fSource.SetExtension(kExtDocuments, 1, long(bytes), bytes ? lines.data() : nullptr);
    fOptions._extensionFound.set(kExtDocuments);
}

void DictionaryReader::ReadExtension() {
    unsigned char hb[kExtensionHeaderSize];
    const size_t len = fIn.Read(hb, sizeof hb);
    SF_REQUIRE(len == 3*sizeof(int32), kErrShortRead);
    const int32 h[3] = {fIn.order.GetI32(hb), fIn.order.GetI32(hb + 4), fIn.order.GetI32(hb + 8)};
    // A record has units, and units have bytes.
    SF_REQUIRE(h[1] > 0 && h[2] > 0, kErrMalformed);
    // Slot 0 holds the documents, which come only from the document record.
    SF_REQUIRE(h[0] != kExtDocuments, kErrMalformed);
    SF_REQUIRE(int64_t(h[1]) * int64_t(h[2]) <= fIn.Remaining(), kErrShortRead);
    if (h[0] == kExtCaseCount) fSource.NoteNCasesLoc();
    SystemFileExtensionRecord rec;
    rec.SetUnitSize(h[1]);
    rec.SetNUnits(h[2]);
    const size_t n = fIn.Read(rec.GetContents(), rec.ByteSize());
    SF_REQUIRE(n == size_t(h[2])*size_t(h[1]), kErrShortRead);
    ReadExtensionRecord(h[0], fSource, fOptions, rec);
}

}  // namespace

void SystemFileDataSource::ReadDictionary() {
    SetFileSpec(m_->fileName);
    SystemFileOptions& o = m_->_options;
    try {
        VESK_StrBaseIO& stream = m_->Stream();
        const int type = DetectFileKind(stream);
        SF_REQUIRE(type != kENCRYPTED, kErrEncryptedNoPassword);
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
            SF_REQUIRE(stored == logical, kErrMalformed);
        } else {
            SF_REQUIRE(SystemFileDechunker::Fits(o._chunks, stored, logical), kErrMalformed);
        }
        if (!o._swapFlags.empty()) SF_REQUIRE(int64_t(o._swapFlags.size()) == stored, kErrMalformed);
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
    const unsigned n = source.ColumnCount();
    std::set<std::string> taken;  // upper-case names
    std::vector<unsigned> marked;
    for (unsigned v = 0; v < n; ++v) {
        const VESK_Variable& var = source.GetVariable(int(v));
        if (!ValidFileName(var.GetName()) || !taken.insert(VESKMBUpper(var.GetName())).second) marked.push_back(v);
    }
    int k = 0;
    char candidate[32];
    for (unsigned v : marked) {
        do {
            ++k;
            std::snprintf(candidate, sizeof candidate, "V%d", k);
        } while (taken.count(candidate) != 0);
        taken.insert(candidate);
        candidate[0] = 'v';
        source.GetVariable(int(v)).SetName(candidate);
    }
    if (!marked.empty() && monitor) VeskReportWarning(monitor, kWarnNamesReplaced, {"no message"}, 0);
}

void SystemFileDataSource::GetCompatName(const char* name, char* out) const {
    VESK_ASSERT(name && out);
    const auto& table = m_->_options._longNames;
    auto it = std::lower_bound(table.begin(), table.end(), std::string(name),
                               [](const std::pair<std::string, std::string>& p, const std::string& key) {
                                   return p.first < key;
                               });
    if (it == table.end() || it->first != name) ThrowError::String2(DATASRC_ERR, kErrNoLongName, name, GetFileSpec());
    CopyName(out, it->second);
}

void SystemFileDataSource::GetInputFileCompatName(const char* name, char* out) const {
    VESK_ASSERT(name && out);
    for (const auto& [shortName, longName] : m_->_options._longNames) {
        if (longName == name) {
            CopyName(out, shortName);
            return;
        }
    }
    ThrowError::String2(DATASRC_ERR, kErrNoLongName, name, GetFileSpec());
}

// ---------------------------------------------------------------- opening helpers

namespace {

// Saves the process's code page and UTF-8 mode and puts them back when it goes.
class EncodingSettings {
public:
    EncodingSettings() : fCodePage(VESKMBCurrentConverterName_A()), fUTF8Mode(qUTF8mode()) {}
    ~EncodingSettings() {
        VESKMBConverterSet_A(fCodePage.c_str());
        SetUTF8mode(fUTF8Mode);
    }
    EncodingSettings(const EncodingSettings&) = delete;
    EncodingSettings& operator=(const EncodingSettings&) = delete;

private:
    std::string fCodePage;
    int fUTF8Mode;
};

bool HasConverter(const std::string& encoding) {
    VESKMBConverter* converter = VESKMBConverterNew_A(encoding.c_str());
    VESKMBConverterDelete_A(converter);
    return converter != nullptr;
}

}  // namespace

VESK_DataSource* SystemFileDataSource::GetSystemFile(const ExtNameStr& file, const ExtNameStr& password,
                                                     bool mangled, ErrorMonitor* monitor) {
    std::unique_ptr<SystemFileDataSource> reader(new SystemFileDataSource(file, password, mangled));
    const std::string encoding = reader->CharacterEncoding();
    if (reader->IsCompatibleEncoding()) {
        reader->SetDirty(false);
        return reader.release();
    }
    // A UTF-8 process sees a code-page file in UTF-8; a code-page process sees
    // a UTF-8 file in its code page. The file is read again in its own
    // encoding so that the reader's name checks and case mapping suit it.
    const bool toUTF8 = qUTF8mode() != 0;
    const bool fromUTF8 = VESKMBqSameCodePage(encoding.c_str(), "UTF-8") != 0;
    const std::string codePage = toUTF8 ? encoding : std::string(VESKMBDefaultCodePage());
    // An encoding without a converter is reported like one that cannot be shown.
    if (!(toUTF8 || fromUTF8) || !HasConverter(codePage)) {
        if (monitor) VeskReportWarning(monitor, kWarnEncoding, {file.GetGeneric(), encoding}, 0);
        reader->SetDirty(false);
        return reader.release();
    }
    reader.reset();
    {
        EncodingSettings saved;
        if (toUTF8) {
            if (!encoding.empty()) VESKMBConverterSet_A(encoding.c_str());
            SetUTF8mode(0);
        } else {
            SetUTF8mode(1);
        }
        reader.reset(new SystemFileDataSource(file, password, false));
    }
    reader->SetFileSpec(file);
    std::unique_ptr<VESK_DataSource> converted;
    if (toUTF8)
        converted.reset(new UTF8DataSource(*reader, encoding, monitor));
    else
        converted.reset(new CodePageDataSource(*reader, codePage, monitor, false));
    reader.release();  // now the bottom of the converted source's chain
    converted->SetFileSpec(file);
    converted->SetDirty(false);
    return converted.release();
}

VESK_DataSource* SystemFileDataSource::GetSystemFile(const std::string& file, const std::string& password,
                                                     bool mangled, ErrorMonitor* monitor) {
    ExtNameStr pw;
    if (!password.empty()) pw.SetGeneric(password);
    return GetSystemFile(ExtNameStr(file.c_str()), pw, mangled, monitor);
}

bool SystemFileDataSource::IsOpen(const char* name) {
    if (!name) return false;
    const std::string u8 = ExtNameStr(name).GetU8();
    const std::vector<std::string>& files = OpenFiles();
    return std::find(files.begin(), files.end(), u8) != files.end();
}

// ---------------------------------------------------------------- properties

int64_t SystemFileDataSource::RowCount() const { return m_->_options._nCases; }
void SystemFileDataSource::RowCount(int64_t rows) { m_->_options._nCases = rows; }

bool SystemFileDataSource::bExtensionFound(int subtype) const {
    if (subtype < 0 || subtype >= kExtensionFoundSize) return false;
    return m_->_options._extensionFound.test(size_t(subtype));
}

bool SystemFileDataSource::GetReleaseInfo(int info[3]) const {
    info[0] = m_->_options._releaseMajor;
    info[1] = m_->_options._releaseMinor;
    info[2] = m_->_options._releaseRevision;
    return m_->_options._extensionFound.test(kExtMachineIntegers);
}

bool SystemFileDataSource::bReversedByteOrder() const { return m_->_options._reversed; }
double SystemFileDataSource::GetFileSysmis() const { return m_->_options._sysmis; }
void SystemFileDataSource::NoteNCasesLoc() { m_->nCasesLoc = m_->Stream().Tell(); }

std::string SystemFileDataSource::CharacterEncoding() const {
    if (!m_->_options._encoding.empty()) return m_->_options._encoding;
    std::string name;
    if (VESKMBCpNameFromNum_A(m_->_options._characterCode, &name)) return name;
    return VESKMBDefaultCodePage();
}

void SystemFileDataSource::CharacterEncoding(const std::string& encoding) { m_->_options._encoding = encoding; }

bool SystemFileDataSource::IsCompatibleEncoding() const {
    return VESKMBqSameCodePage(CharacterEncoding().c_str(), DefaultEncoding().c_str()) != 0;
}

std::string SystemFileDataSource::EyeCatcher() const { return m_->_options._eyeCatcher; }
void SystemFileDataSource::EyeCatcher(std::string text) { m_->_options._eyeCatcher = std::move(text); }

bool SystemFileDataSource::GetCompression() const { return m_->_options._compression != kCompressNone; }
int SystemFileDataSource::GetCompressionLevel() const { return m_->_options._compression; }

void SystemFileDataSource::SetCompression(bool on) {
    m_->_options._compression = on ? kCompressBytecode : kCompressNone;
}

void SystemFileDataSource::SetCompressionLevel(int level) {
    if (level == kCompressZlib)
        m_->_options._compression = m_->_options._password.Empty() ? kCompressZlib : kCompressBytecode;
    else if (level == kCompressNone)
        m_->_options._compression = kCompressNone;
    else
        m_->_options._compression = kCompressBytecode;
}

void SystemFileDataSource::SetPassword(const ExtNameStr& password) {
    m_->_options._password = password;
    if (!password.Empty() && m_->_options._compression == kCompressZlib) m_->_options._compression = kCompressBytecode;
}

const ExtNameStr& SystemFileDataSource::GetPassword() const { return m_->_options._password; }
void SystemFileDataSource::SetPasswordMangled(bool mangled) { m_->passwordMangled = mangled; }
bool SystemFileDataSource::GetPasswordMangled() const { return m_->passwordMangled; }
bool SystemFileDataSource::IsEncrypted() const { return !m_->_options._password.Empty(); }

SystemFileOptions& SystemFileDataSource::Options() { return m_->_options; }
const SystemFileOptions& SystemFileDataSource::Options() const { return m_->_options; }
int64_t SystemFileDataSource::Row0Pos() const { return m_->_row0pos; }
int SystemFileDataSource::State() const { return m_->state; }

void SystemFileDataSource::IndexedRow(int64_t row, int64_t& foundRow, int64_t& position) const {
    m_->rowIndex.GetPos(row, foundRow, position);
}

void SystemFileDataSource::NoteIndexedRow(int64_t row, int64_t position) const {
    VESK_ASSERT(row >= 0 && position >= 0);
    VESK_ASSERT(m_->state != 1);  // the writer keeps its own entries there
    m_->rowIndex.Add(row, position);
}

// ---------------------------------------------------------------- writing side

namespace {

// Gives up a writer whose file could not be started: nothing more is written.
void AbandonWriter(SystemFileDataSource::Impl& m) {
    if (m.writer) m.writer->Abandon();
    m.writer.reset();
    m._file.Close();
    m.crypt.reset();  // dropped without enciphering anything into the file
    m.replacing.reset();
}

std::string PathOf(const ExtNameStr& name) { return *name.GetGeneric() ? name.GetGeneric() : name.GetU8(); }

// Runs f; the exception it raised (null for none), with errno as it was then.
template <class F>
std::exception_ptr Attempt(F&& f, int& failureErrno) {
    try {
        f();
        return nullptr;
    } catch (...) {
        failureErrno = errno;
        return std::current_exception();
    }
}

// Raises a failure caught before as the library error naming the file, with
// errno as it was when the failure happened.
[[noreturn]] void RaiseFailure(const std::exception_ptr& failure, int failureErrno, const char* fileSpec) {
    try {
        std::rethrow_exception(failure);
    } catch (const SystemFileException& e) {
        errno = failureErrno;
        e.Raise(fileSpec);
    }
}

}  // namespace

void SystemFileDataSource::SetReplaceOnClose(bool on) {
    VESK_ASSERT(m_->state == 0);
    m_->replaceOnClose = on;
}

void SystemFileDataSource::CommitDictionary() {
    if (m_->state != 0) ThrowError::Simple(DATASRC_ERR, kErrCommittedTwice);
    SystemFileOptions& o = m_->_options;
    int codePage = 0;
    if (VESKMBCpNameToNum_A(o._encoding.c_str(), &codePage)) o._characterCode = codePage;
    m_->fileName = GetFileSpecExt();
    try {
        // Built before the file is opened: a dictionary that cannot be
        // written leaves an existing file alone.
        m_->writer = std::make_unique<SaveDS>(*this, m_->Stream(), o);
        m_->writer->BuildDictionary();
        ExtNameStr path = m_->fileName;
        if (m_->replaceOnClose) {
            m_->replacing = std::make_unique<VESK_ReplacingFile>(PathOf(m_->fileName));
            path = ExtNameStr(m_->replacing->TempPath().c_str());
        }
        if (m_->Encrypted())
            OpenEncrypted(path, "wb");
        else
            SF_REQUIRE_SYS(m_->_file.Open(path, o._password, "wb"), kErrCannotOpen);
        m_->writer->WriteDictionary();
        o._cellsPerCase = m_->writer->GetObsAreaSize();
        m_->_row0pos = m_->Stream().Tell();
        if (o._compression > kCompressNone) m_->writer->SetupCompression(&m_->rowIndex, m_->_row0pos);
    } catch (const SystemFileException& e) {
        AbandonWriter(*m_);
        e.Raise(GetFileSpec());
    } catch (...) {
        AbandonWriter(*m_);
        throw;
    }
    m_->nCasesLoc = m_->writer->CountRecordPosition() > 0 ? m_->writer->CountRecordPosition() : -1;
    // Reading the file back goes through the stored layout.
    o._veryLongStrings = m_->writer->StoredVeryLongStrings();
    o._chunks = SystemFileDechunker::Build(o._veryLongStrings, o._cellsPerCase);
    m_->state = 1;
    std::sort(o._longNames.begin(), o._longNames.end());
}

void SystemFileDataSource::AddRow(const OBS* row) {
    VESK_ASSERT(row != nullptr);
    if (m_->openIterators > 0) ThrowError::Simple(DATASRC_ERR, kErrCommittedTwice);
    if (m_->writeFailed) ThrowError::String1(DATASRC_ERR, kErrCannotWriteCase, GetFileSpec());
    if (m_->state == 0) {
        CommitDictionary();
    } else if (m_->state == 2) {
        // Rows after Close, or after reading: appended to the file.
        SystemFileOptions& o = m_->_options;
        if (o._reversed)
            ThrowError::String2(DATASRC_ERR, kErrNotAvailable, GetFileSpec(),
                                "appending to files of the other byte order");
        m_->zreader.reset();
        m_->reopenForReading = true;
        try {
            m_->CloseStream();
            const char* mode = o._compression == kCompressNone ? "ab" : "r+b";
            if (m_->Encrypted())
                OpenEncrypted(m_->fileName, mode);
            else
                SF_REQUIRE_SYS(m_->_file.Open(m_->fileName, o._password, mode), kErrCannotOpen);
            m_->writer = std::make_unique<SaveDS>(*this, m_->Stream(), o);
            m_->writer->PrepareAppend(m_->nCasesLoc, o._nCases, &m_->rowIndex, m_->_row0pos);
        } catch (const SystemFileException& e) {
            AbandonWriter(*m_);
            e.Raise(GetFileSpec());
        } catch (...) {
            AbandonWriter(*m_);
            throw;
        }
        m_->state = 1;
    }
    try {
        m_->writer->WriteCase(row);
    } catch (const SystemFileException& e) {
        e.Raise(GetFileSpec());
    }
}

void SystemFileDataSource::Close() {
    if (m_->state != 1) return;
    int failureErrno = 0;
    std::exception_ptr failure = Attempt([&] { m_->writer->Finish(); }, failureErrno);
    m_->_options._nCases = m_->writer->FinalCount();
    m_->writer.reset();
    // False when the file could not be closed or an encrypted file could not
    // be enciphered completely.
    const bool closed = m_->CloseStream();
    if (!failure)
        failure = Attempt(
            [&] {
                SF_REQUIRE_SYS(closed, kErrCannotWriteCase);
                if (m_->replacing) m_->replacing->Commit();
            },
            failureErrno);
    m_->replacing.reset();  // removes the new file unless it replaced the old
    m_->state = 2;
    m_->closedAfterWriting = true;
    m_->reopenForReading = true;
    TestAndStoreToPes(m_->fileName.GetGeneric(), 3, 0);
    if (!failure) return;
    m_->writeFailed = true;
    RaiseFailure(failure, failureErrno, GetFileSpec());
}

VESK_InputCaseIterator* SystemFileDataSource::MakeIterator(OBS* buffer) const {
    auto* self = const_cast<SystemFileDataSource*>(this);
    if (m_->state == 1) self->Close();
    if (m_->state != 2 || m_->reopenForReading) {
        m_->zreader.reset();
        m_->CloseStream();
        m_->state = 2;
        OpenStream("rb");
        m_->reopenForReading = false;
        if (m_->_options._password.Empty() && m_->_options._compression == kCompressZlib) {
            m_->zreader = std::make_unique<zcmpsFilestr>(m_->_file);
            m_->zreader->readFilePosInfo(m_->_row0pos, m_->_options._reversed);
        }
    }
    return new Iterator(*this, m_.get(), buffer);
}

// ---------------------------------------------------------------- iterator

struct SystemFileDataSource::Iterator::State {
    std::unique_ptr<VESK_FileStream> stream;      // own copy; none for code 2
    std::unique_ptr<CompressedSystemFile> codec;  // codes 1 and 2
    std::vector<OBS> staging;                     // stored case, very long strings only
    int64_t caseLen = 0;                          // bytes of a stored case
    const uint8_t* swapFlags = nullptr;
    bool readAhead = false;
};

SystemFileDataSource::Iterator::Iterator(const SystemFileDataSource& source, Impl* body, OBS* buffer)
    : VESK_InputCaseIterator(source, buffer), fBody(body), fState(new State) {
    SystemFileOptions& o = body->_options;
    fState->caseLen = o._cellsPerCase * int64_t(sizeof(OBS));
    fState->swapFlags = o._swapFlags.empty() ? nullptr : o._swapFlags.data();
    const bool async = GETASYNCHREADING() != 0;
    if (o._compression == kCompressZlib) {
        VESK_ASSERT(body->zreader != nullptr);
        if (async && !body->zreader->MultiThread()) body->zreader->setMultiThread(1);
        fState->codec = std::make_unique<CompressedSystemFile>(body->zreader.get(), &o, &body->rowIndex,
                                                               body->_row0pos);
    } else {
        // With a password the iterator reads its own copy of the clear stream.
        const VESK_FileStream* own = body->crypt ? body->crypt->ClearStream() : &body->_file;
        VESK_ASSERT(own != nullptr);
        fState->stream = std::make_unique<VESK_FileStream>(*own);
        if (o._compression == kCompressBytecode)
            fState->codec = std::make_unique<CompressedSystemFile>(fState->stream.get(), &o, &body->rowIndex,
                                                                   body->_row0pos);
        if (async) fState->readAhead = fState->stream->EnableMultiThreadReading() != 0;
    }
    if (!o._chunks.empty()) fState->staging.resize(size_t(o._cellsPerCase));
    ++body->openIterators;
}

SystemFileDataSource::Iterator::~Iterator() {
    --fBody->openIterators;
    fState->codec.reset();
    if (fState->readAhead) fState->stream->DisableMultiThreadReading();
    if (fBody->openIterators == 0 && fBody->zreader && fBody->zreader->MultiThread()) fBody->zreader->setMultiThread(0);
}

int SystemFileDataSource::Iterator::Seek(int64_t row) {
    VESK_ASSERT(row >= 0);
    fTargetRow = row;
    return 1;
}

// Reads the stored case of the file row: 1, or 0 at the end of the data.
int SystemFileDataSource::Iterator::ReadStored(OBS* into) {
    State& s = *fState;
    if (s.codec) return s.codec->ReadRow(into, s.swapFlags) != 0;
    const size_t caseLen = size_t(s.caseLen);
    if (caseLen == 0) return 0;
    const size_t readLen = s.stream->Read(into, caseLen);
    SF_REQUIRE(readLen== 0 || readLen == caseLen, kErrShortRead);
    if (readLen == 0) return 0;
    if (s.swapFlags) {
        const size_t cells = caseLen / sizeof(OBS);
        for (size_t i = 0; i < cells; ++i)
            if (s.swapFlags[i]) ReverseCell(into[i]);
    }
    return 1;
}

int SystemFileDataSource::Iterator::Next() {
    State& s = *fState;
    try {
        if (fTargetRow != fFileRow) {
            if (s.codec) {
                s.codec->SetTargetRow(fTargetRow);
            } else {
                // Rows beyond any possible position simply are not there.
                const int64_t row0 = fBody->_row0pos;
                const bool reachable =
                    s.caseLen == 0 || fTargetRow <= (std::numeric_limits<int64_t>::max() - row0) / s.caseLen;
                const int64_t at = reachable ? row0 + fTargetRow * s.caseLen : std::numeric_limits<int64_t>::max();
                if (s.stream->Seek(at, VESK_StrBaseIO::SeekFromStart) != 0) {
                    fFileRow = fTargetRow;
                    SettleRowCount();
                    return 0;
                }
            }
            fFileRow = fTargetRow;
        }
        OBS* cells = GetCase().Cells();
        OBS* into = s.staging.empty() ? cells : s.staging.data();
        if (ReadStored(into)) {
            if (!s.staging.empty()) SystemFileDechunker::Apply(fBody->_options._chunks, into, cells);
            ++fFileRow;
            ++fTargetRow;
            return 1;
        }
        SettleRowCount();
        return 0;
    } catch (const SystemFileException& e) {
        e.Raise(GetDataSource().GetFileSpec());
    }
}

// At the end of the data: the number of rows present is known exactly (the
// codec stops at the last row; an uncompressed file holds as many whole rows
// as its size allows), and the source's row count is lowered to it, or set
// when unknown. A row count above the rows present never survives, also after
// a Seek beyond the end.
void SystemFileDataSource::Iterator::SettleRowCount() {
    const State& s = *fState;
    int64_t present;
    if (s.codec) {
        present = s.codec->CurrentRow();
    } else if (s.caseLen == 0) {
        present = 0;
    } else {
        present = std::min(fFileRow, std::max<int64_t>(0, fBody->fileSize - fBody->_row0pos) / s.caseLen);
    }
    int64_t& count = fBody->_options._nCases;
    if (count > present) count = present;
    if (count == -1) count = present;
}
