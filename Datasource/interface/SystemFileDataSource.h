// The data source over one system file.
//
// Constructing a SystemFileDataSource on a file name opens the file, reads the
// header and every dictionary record into this source's dictionary, and leaves
// the cases to be read through iterators made by MakeIterator. The same class
// is the writing side of a system file (a default-constructed instance given
// a dictionary and a file specification): CommitDictionary (or the first
// AddRow) writes the dictionary, AddRow writes cases, Close completes the
// file; AddRow after Close appends to the file.
//
// Errors: failures are raised through ThrowError with "datasrc.err":
//   1201 the file cannot be opened          1204 the file is malformed
//   1205 the file ends too early            1209 rows or dictionary at the wrong time
//   1214 encrypted file without password    1507 no long-name entry
//   1202 a case cannot be written            1504 no short name can be formed
//   1505 two variables share a name
//   1213 an encrypted file that exists and may be written, but that neither
//        form of the password opens (wrong password, or a damaged file)
//   1290 (this build) the operation is not available yet; the second argument
//        says which ("appending to files of the other byte order").
//
// Passwords: a source with a password reads and writes the encrypted form
// (cryptfile.h) through a clear copy that no other user can read. The
// password is tried as stored and in its unmangled form (passwordcrypt.h),
// the unmangled form first when `mangled` is set; when only the other form
// opens the file, the mangled flag turns over. Compression code 2 is not
// used with a password.
// Warnings go to the ErrorMonitor given: 1701, 1711, 1721 (GetSystemFile), 1722 (FixVarNames).
//
// Threads: one thread at a time per source and its iterators; the open-file
// registry is process-wide and unguarded (open and destroy readers on one
// thread at a time).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "IndependentDataStore.h"
#include "case.h"
#include "textmb.h"
#include "vesk_export.h"

class ErrorMonitor;
struct SystemFileOptions;

class VESK_EXPORT SystemFileDataSource : public IndependentDataStore {
public:
    class Iterator;

    // A new file for writing: no file yet, state "new", character encoding
    // the process's default.
    SystemFileDataSource();
    // Opens the file for reading and reads its dictionary. The string form
    // takes the file name as a generic name and the password as UTF-8 text.
    // mangled: the password is in the encryption library's mangled form.
    SystemFileDataSource(const ExtNameStr& file, const ExtNameStr& password, bool mangled);
    SystemFileDataSource(std::string file, std::string password, bool mangled);
    // Removes the file from the open-file registry and closes it (a file
    // being written is completed as by Close, errors dropped; a replacing
    // write that an exception unwinds past is given up instead, see
    // SetReplaceOnClose). Iterators must be deleted before the source.
    ~SystemFileDataSource() override;
    SystemFileDataSource(const SystemFileDataSource&) = delete;
    SystemFileDataSource& operator=(const SystemFileDataSource&) = delete;

    // Opens a file and returns a source marked not dirty; the caller deletes
    // it with DeleteLine. When the file's encoding is the process's, that is
    // the reader itself. A code-page file in a UTF-8 process comes back as a
    // UTF8DataSource over a reader, a UTF-8 file in a code-page process as a
    // CodePageDataSource (lost text: warning 1701 or 1711 to the monitor).
    // Any other mismatch, or an encoding without a converter, gives the reader
    // and warning 1721 to the monitor.
    static VESK_DataSource* GetSystemFile(const ExtNameStr& file, const ExtNameStr& password, bool mangled,
                                          ErrorMonitor* monitor);
    static VESK_DataSource* GetSystemFile(const std::string& file, const std::string& password, bool mangled,
                                          ErrorMonitor* monitor);
    // The encoding a reader of the file would give as CharacterEncoding, into
    // `encoding`, learned by walking the dictionary records without keeping
    // them: only the machine integer and encoding records are read. False,
    // raising nothing, when the file cannot be opened or its records cannot
    // be walked (the reader then raises what there is to raise).
    static bool ScanEncoding(const ExtNameStr& file, const ExtNameStr& password, bool mangled,
                             std::string& encoding);
    // The file (a generic name) has a reader whose dictionary has been read.
    static bool IsOpen(const char* name);
    // Renames invalid and duplicate variable names to v1, v2, ... (the first
    // of two names equal but for case keeps its name); reports warning 1722 to
    // the monitor when a name changed.
    static void FixVarNames(VESK_DataSource& source, ErrorMonitor* monitor);
    static void FixVarNames(VESK_DataSource& source);

    // ---- VESK_DataSource
    // The caller owns the iterator and deletes it before this source. A source
    // in any state but "open for reading" (re)opens its file for reading first.
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
    // Number of cases; -1 while unknown. Settled when an iterator meets the end.
    int64_t RowCount() const override;
    void RowCount(int64_t rows);

    // ---- IndependentDataStore (writing)
    // Writes one case (GetObsAreaSize cells). 1209 while iterators are open.
    // A new source commits its dictionary first; a closed or read source
    // appends to its file.
    void AddRow(const OBS* row) override;
    // Ends writing: completes the file and patches its case count; does
    // nothing unless rows are being written. Every write, flush and close is
    // checked: a failure now or in an earlier AddRow raises 1202, and after
    // it the source takes no more rows (1202). With a password this is when
    // the file is enciphered: 1202 when that fails.
    void Close() override;
    // Compression code 1 when true, 0 when false.
    void SetCompression(bool on) override;
    // 2: code 2 without a password, else 1; 0: code 0; anything else: 1.
    void SetCompressionLevel(int level) override;
    // Creates the file named by the file specification and writes the
    // dictionary. 1209 unless the source is new.
    void CommitDictionary() override;
    // Replacing writes (SaveFile and SaveSystemFile write this way): the file
    // is written as a temporary file beside it (beside the file a symbolic
    // link names), which a successful Close flushes to disk and renames onto
    // it, keeping its permission bits, before flushing the directory. Until
    // then, and for good when writing fails, the file keeps its old contents
    // (see VESK_ReplacingFile). Set while the source is new.
    void SetReplaceOnClose(bool on);

    // ---- file properties
    // Whether an extension record of the subtype was read (0..99; false outside).
    virtual bool bExtensionFound(int subtype) const;
    // Release major, minor and revision of the machine integer record;
    // returns whether the file had that record.
    virtual bool GetReleaseInfo(int info[3]) const;
    // The file's byte order differs from this machine's.
    virtual bool bReversedByteOrder() const;
    // The file's system-missing value (from its machine floating-point record).
    virtual double GetFileSysmis() const;
    // Remembers the current file position as that of the case-count record.
    virtual void NoteNCasesLoc();

    // Short-name lookups in the long-name table: the second name of the pair
    // whose first is `name` (GetCompatName; the table must be sorted, as it is
    // for writing) or the first of the pair whose second is `name`
    // (GetInputFileCompatName; in a file read, (short, long) pairs). `out`
    // must hold 65 bytes; the result is cut to 64 bytes on a character
    // boundary. No match: error 1507 with the name and the file specification.
    void GetCompatName(const char* name, char* out) const;
    void GetInputFileCompatName(const char* name, char* out) const;

    // The stored encoding name; when none, that of the file's character code,
    // else the process's default encoding.
    std::string CharacterEncoding() const;
    void CharacterEncoding(const std::string& encoding);
    // The file's encoding is the process's default encoding.
    bool IsCompatibleEncoding() const;
    // The product text of the header.
    std::string EyeCatcher() const;
    void EyeCatcher(std::string text);

    bool GetCompression() const;     // compression code is not 0
    int GetCompressionLevel() const;  // the compression code, 0..2

    // A nonempty password turns compression code 2 into 1.
    void SetPassword(const ExtNameStr& password);
    const ExtNameStr& GetPassword() const;
    void SetPasswordMangled(bool mangled);
    bool GetPasswordMangled() const;
    bool IsEncrypted() const;
    // Compression code 2: how many inflated blocks are kept besides the one
    // being read (0 to 64, default 2), so that Seek back and forth near a
    // position inflates nothing again.
    void SetCachedZlibBlocks(int blocks);

    // ---- row positions (compression codes 1 and 2; other files need none)
    // The row nearest at or before `row` whose position in the data area this
    // source noted while reading, and that position; (0, 0) when there is
    // none. Reading can resume there without decoding the rows before it.
    void IndexedRow(int64_t row, int64_t& foundRow, int64_t& position) const;
    // Notes the position of a row learned from another reader of the same
    // file (its IndexedRow): iterators that go to that row or beyond start
    // from there. Positions not beyond those noted already are ignored. A
    // position that is not the row's gives wrong cases or error 1204/1205.
    void NoteIndexedRow(int64_t row, int64_t position) const;

    // The header and options block of the file (SystemFileOptions.h).
    SystemFileOptions& Options();
    const SystemFileOptions& Options() const;
    // Stream position of the first case.
    int64_t Row0Pos() const;
    // What the source does with its file.
    enum FileState : int32_t {
        eStateNew = 0,      // no file yet
        eStateWriting = 1,  // dictionary committed, rows being written
        eStateReading = 2,  // open for reading (also after Close)
    };
    // The current FileState.
    int State() const;

    struct VESK_NO_EXPORT Impl;
    // The writer (SaveDS.h).
    class VESK_NO_EXPORT SaveDS;

private:
    void init(const ExtNameStr& file, const ExtNameStr& password, bool mangled);
    void OpenStream(const char* mode) const;
    void OpenEncrypted(const ExtNameStr& path, const char* mode) const;
    void ReadDictionary();

    std::unique_ptr<Impl> m_;
};

// Delivers the cases of a SystemFileDataSource. Each iterator has its own
// position; iterators of one source are used from one thread at a time (for
// compression code 2 they share one decompressing stream).
class SystemFileDataSource::Iterator : public VESK_InputCaseIterator {
public:
    // Made by MakeIterator; the source must outlive the iterator.
    Iterator(const SystemFileDataSource& source, Impl* body, OBS* buffer);
    ~Iterator() override;

    int IsSeekOK() override { return 1; }
    // The next Next delivers row `row` (0-based); nothing is read now.
    int Seek(int64_t row) override;
    int64_t Tell() const override { return fTargetRow; }
    // Reads up to n cases as n calls of NextCase would, case k to
    // into + k * stride (stride at least the source's GetObsAreaSize), but
    // leaves the case buffer alone; returns the cases read, fewer only at the
    // end of the data. Errors as for NextCase. The columnar reads and vesk
    // verify use it to skip a copy and a call per case.
    int64_t NextCases(OBS* into, size_t stride, int64_t n);

private:
    // Reads the target row: 1 for a case, 0 at the end of the data. A short
    // or malformed case raises 1205 or 1204; the iterator's position is then
    // undefined.
    int Next() override;
    int ReadStored(OBS* into);
    int ReadInto(OBS* cells);
    int64_t ReadWhole(OBS* into, int64_t n);
    int64_t ReadCoded(OBS* into, size_t stride, int64_t n);
    void Position();
    void SettleRowCount();

    struct VESK_NO_EXPORT State;
    Impl* fBody;
    int64_t fTargetRow = 0;
    int64_t fFileRow = -1;
    std::unique_ptr<State> fState;
};
