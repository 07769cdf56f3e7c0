// The data source over one system file: construction and the open-file
// registry, file properties and long-name lookups, the writing side (commit,
// rows, close) and the switch back to reading. The dictionary reader and the
// case iterator have files of their own.
#define VESK_SOURCE_NAME "Datasource/src/SystemFileDataSource"

#include "SystemFileDataSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "SaveDS.h"
#include "SystemFileDataSourceImpl.h"
#include "SystemFileDechunker.h"
#include "SystemFileException.h"
#include "SystemFileOptions.h"
#include "cryptfile.h"
#include "errortext.h"
#include "filestream.h"
#include "passwordcrypt.h"
#include "replacingfile.h"
#include "sysfilelayout.h"
#include "tempdirs.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"

using namespace SysFileLayout;

namespace {

// A new file's data is handed to the disk every 8 MB while it is written: the
// file is meant to last, and a writer that commits it (fsync) would otherwise
// wait for all of it at the end.
constexpr size_t kWriteBehindBytes = 8 << 20;

// Open-file registry: UTF-8 names of readers whose dictionary has been read.
std::vector<std::string>& OpenFiles() {
    static std::vector<std::string> files;
    return files;
}

std::string DefaultEncoding() { return qUTF8mode() ? std::string("UTF-8") : std::string(VESKMBDefaultCodePage()); }

// Copies a name into out (65 bytes), cut to 64 bytes on a character boundary.
void CopyName(char* out, const std::string& name) {
    const size_t n = std::min(name.size(), kMaxNameBytes);
    std::memcpy(out, name.data(), n);
    out[n] = '\0';
    VESKMBStringTruncate_A(out, n);
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
    if (m_->state == eStateWriting && m_->replacing && std::uncaught_exceptions() > 0) {
        // Unwinding past a replacing write that was never closed: the new
        // file is incomplete, so the old one stays.
        m_->writer->Abandon();
        m_->writer.reset();
        m_->_file.Close();
    } else if (m_->state == eStateWriting) {
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
    m_->state = eStateReading;
    m_->registered = file.GetU8();
    OpenFiles().push_back(m_->registered);
    m_->isRegistered = true;
}

void SystemFileDataSource::OpenStream(const char* mode) const {
    if (m_->Encrypted()) {
        OpenEncrypted(m_->fileName, mode);
    } else if (!m_->_file.Open(m_->fileName, m_->_options._password, mode)) {
        ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::CannotOpen, m_->fileName.GetGeneric());
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
        ThrowError::String1(DATASRC_ERR, DatasrcMsg::WrongPassword, path.GetGeneric());
    ThrowError::StringSys(DATASRC_ERR, DatasrcMsg::CannotOpen,
                          creating ? m_->fileName.GetGeneric() : path.GetGeneric());
}

// ---------------------------------------------------------------- names

void SystemFileDataSource::GetCompatName(const char* name, char* out) const {
    VESK_ASSERT(name && out);
    const auto& table = m_->_options.LongNames();
    auto it = std::lower_bound(table.begin(), table.end(), std::string(name),
                               [](const std::pair<std::string, std::string>& p, const std::string& key) {
                                   return p.first < key;
                               });
    if (it == table.end() || it->first != name)
        ThrowError::String2(DATASRC_ERR, DatasrcMsg::NoLongName, name, GetFileSpec());
    CopyName(out, it->second);
}

void SystemFileDataSource::GetInputFileCompatName(const char* name, char* out) const {
    VESK_ASSERT(name && out);
    for (const auto& [shortName, longName] : m_->_options.LongNames()) {
        if (longName == name) {
            CopyName(out, shortName);
            return;
        }
    }
    ThrowError::String2(DATASRC_ERR, DatasrcMsg::NoLongName, name, GetFileSpec());
}

// ---------------------------------------------------------------- open-file registry

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

std::string EncodingOf(const SystemFileOptions& options) {
    if (!options._encoding.empty()) return options._encoding;
    std::string name;
    if (VESKMBCpNameFromNum_A(options._characterCode, &name)) return name;
    return VESKMBDefaultCodePage();
}

std::string SystemFileDataSource::CharacterEncoding() const { return EncodingOf(m_->_options); }

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

void SystemFileDataSource::SetCachedZlibBlocks(int blocks) {
    VESK_ASSERT(blocks >= 0 && blocks <= zcmpsFilestr::kMaxCachedBlocks);
    m_->_options._zlibCachedBlocks = blocks;
    if (m_->zreader) m_->zreader->setCachedBlocks(blocks);
}
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
    VESK_ASSERT(m_->state == eStateNew);
    m_->replaceOnClose = on;
}

void SystemFileDataSource::CommitDictionary() {
    if (m_->state != eStateNew) ThrowError::Simple(DATASRC_ERR, DatasrcMsg::WrongTime);
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
        if (m_->Encrypted()) {
            OpenEncrypted(path, "wb");  // the clear copy is temporary: not written out early
        } else {
            SF_REQUIRE_SYS(m_->_file.Open(path, o._password, "wb"), DatasrcMsg::CannotOpen);
            m_->_file.SetWriteBehind(kWriteBehindBytes);
        }
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
    m_->state = eStateWriting;
    std::sort(o._longNames.begin(), o._longNames.end());
}

void SystemFileDataSource::AddRow(const OBS* row) {
    VESK_ASSERT(row != nullptr);
    if (m_->openIterators > 0) ThrowError::Simple(DATASRC_ERR, DatasrcMsg::WrongTime);
    if (m_->writeFailed) ThrowError::String1(DATASRC_ERR, DatasrcMsg::CannotWriteCase, GetFileSpec());
    if (m_->state == eStateNew) {
        CommitDictionary();
    } else if (m_->state == eStateReading) {
        // Rows after Close, or after reading: appended to the file.
        SystemFileOptions& o = m_->_options;
        if (o._reversed)
            ThrowError::String2(DATASRC_ERR, DatasrcMsg::NotAvailable, GetFileSpec(),
                                "appending to files of the other byte order");
        m_->zreader.reset();
        m_->reopenForReading = true;
        try {
            m_->CloseStream();
            const char* mode = o._compression == kCompressNone ? "ab" : "r+b";
            if (m_->Encrypted())
                OpenEncrypted(m_->fileName, mode);
            else
                SF_REQUIRE_SYS(m_->_file.Open(m_->fileName, o._password, mode), DatasrcMsg::CannotOpen);
            m_->writer = std::make_unique<SaveDS>(*this, m_->Stream(), o);
            m_->writer->PrepareAppend(m_->nCasesLoc, o._nCases, &m_->rowIndex, m_->_row0pos);
        } catch (const SystemFileException& e) {
            AbandonWriter(*m_);
            e.Raise(GetFileSpec());
        } catch (...) {
            AbandonWriter(*m_);
            throw;
        }
        m_->state = eStateWriting;
    }
    try {
        m_->writer->WriteCase(row);
    } catch (const SystemFileException& e) {
        e.Raise(GetFileSpec());
    }
}

void SystemFileDataSource::Close() {
    if (m_->state != eStateWriting) return;
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
                SF_REQUIRE_SYS(closed, DatasrcMsg::CannotWriteCase);
                if (m_->replacing) m_->replacing->Commit();
            },
            failureErrno);
    m_->replacing.reset();  // removes the new file unless it replaced the old
    m_->state = eStateReading;
    m_->reopenForReading = true;
    TestAndStoreToPes(m_->fileName.GetGeneric(), 3, 0);
    if (!failure) return;
    m_->writeFailed = true;
    RaiseFailure(failure, failureErrno, GetFileSpec());
}

VESK_InputCaseIterator* SystemFileDataSource::MakeIterator(OBS* buffer) const {
    auto* self = const_cast<SystemFileDataSource*>(this);
    if (m_->state == eStateWriting) self->Close();
    if (m_->state != eStateReading || m_->reopenForReading) {
        m_->zreader.reset();
        m_->CloseStream();
        m_->state = eStateReading;
        OpenStream("rb");
        m_->reopenForReading = false;
        if (m_->_options._password.Empty() && m_->_options._compression == kCompressZlib) {
            m_->zreader = std::make_unique<zcmpsFilestr>(m_->_file);
            m_->zreader->setCachedBlocks(m_->_options._zlibCachedBlocks);
            m_->zreader->readFilePosInfo(m_->_row0pos, m_->_options._reversed);
        }
    }
    return new Iterator(*this, m_.get(), buffer);
}
