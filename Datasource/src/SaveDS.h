// The system-file writer: a private copy of the dictionary of the
// SystemFileDataSource being written, plus the state that turns that
// dictionary and a sequence of cases into a file.
//
// The owner creates the writer when its dictionary is committed (or when rows
// are appended to a closed file), has it write the dictionary, passes every
// row to WriteCase and finishes it at Close. The extension handlers and the
// writer's own steps rename, split and strip variables of the copy only; the
// owner's dictionary is never touched.
//
// Lifetime: the output stream and the options belong to the owner and must
// outlive the writer. Finish (or the destructor, which drops errors) completes
// the file: it flushes the data area and patches the case count.
//
// Errors: every write, flush and close on the way is checked; a failure
// raises SystemFileException 1202. After one, the writer accepts no further
// case and Finish raises 1202 too, so a file with a gap is never reported
// complete.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SystemFileDataSource.h"
#include "SystemFileExtensionRecord.h"
#include "SystemFileOptions.h"
#include "datasrc.h"

class CompressedSystemFile;
class VESK_FileStream;
class VESK_SparseFileIndex;
class zcmpsFilestr;

class SystemFileDataSource::SaveDS : public VESK_DataSource, public SystemFileWriterContext {
public:
    // Translates part of a logical case into the physical (stored) case.
    class Mover {
    public:
        virtual ~Mover() = default;
        // Writes into the output case and returns source advanced past the
        // cells consumed.
        virtual const OBS* Move(const OBS* source, OBS* output) const = 0;
    };
    class OrdinaryMover;
    class EStringMover;

    // Copies the owner's dictionary. stream and options are the owner's.
    SaveDS(const SystemFileDataSource& owner, VESK_FileStream& stream, SystemFileOptions& options);
    // Finishes the file when Finish has not run, dropping any error.
    ~SaveDS() override;
    SaveDS(const SaveDS&) = delete;
    SaveDS& operator=(const SaveDS&) = delete;

    // Compression threads of the zlib data area (code 2) for writers made
    // from now on: 0 compresses on the caller's thread; the default is 2.
    static void SetZlibWorkers(int workers);

    // A writer yields no cases.
    VESK_InputCaseIterator* MakeIterator(OBS*) const override { return nullptr; }

    // ---- SystemFileWriterContext, for the extension handlers
    VESK_DataSource& WriterDictionary() override { return *this; }
    SystemFileOptions& WriterOptions() override { return fOptions; }
    std::vector<std::pair<std::string, std::string>>& AssignShortNames() override;
    // Also builds the movers that split the very long strings of each case.
    void SplitVeryLongStrings(const std::vector<std::pair<int, int>>& strings) override;

    // Builds the header, variable, value label, document and extension
    // records and the termination record in memory, changing the copy (short
    // names, segments). Nothing is written, so a failure here leaves any file
    // alone. Duplicate names raise 1505, a variable without a possible short
    // name 1504, a handler rejecting data SystemFileException 1204. Runs once.
    void BuildDictionary();
    // Writes the dictionary (built first when it is not yet) at the stream's
    // position. A failed write raises SystemFileException 1202.
    void WriteDictionary();
    // Cells of the physical case (very long strings split): GetObsAreaSize.
    // Creates the case compressor for compression codes 1 and 2; row0 is the
    // stream position of the first case.
    void SetupCompression(VESK_SparseFileIndex* index, int64_t row0);
    // Readies the writer to add cases after the rows of a closed file; the
    // stream must be open for writing ("ab" for code 0, "r+b" otherwise).
    // countRecordPos: payload position of the subtype-16 record, 0 when none.
    // rowsBefore: rows in the file, negative when unknown (then counted).
    void PrepareAppend(int64_t countRecordPos, int64_t rowsBefore, VESK_SparseFileIndex* index, int64_t row0);
    // Writes one logical case (the owner's layout, which must not have
    // changed since the writer was made). A failed write, or any case after
    // one, raises SystemFileException 1202.
    void WriteCase(const OBS* cells);
    // Flushes the data area and patches the case count in the header and the
    // subtype-16 record when it differs from the one written at first (or
    // does not fit 32 bits). A failed write, flush or close, now or before,
    // raises SystemFileException 1202 (the count is then left as it was); a
    // file that cannot be reopened for the patch raises 1201. Runs once.
    void Finish();
    // The file is given up (a failed dictionary): nothing more is written.
    void Abandon() { fFinished = true; }

    int64_t RowsWritten() const { return fRowsWritten; }
    // Rows before plus rows written; -1 when the rows before are unknown.
    int64_t FinalCount() const;
    int64_t CountRecordPosition() const { return fCountRecordPos; }
    // The very long strings as a reader of the file finds them: first
    // segment's column and cell in the physical dictionary, and width.
    const std::vector<SystemFileVeryLongString>& StoredVeryLongStrings() const { return fStoredStrings; }

private:
    void BuildExtensions(std::vector<std::unique_ptr<SystemFileExtensionRecord>>& records);
    void EncodeHeader(std::string& out) const;
    void EncodeVariable(std::string& out, const VESK_Variable& var) const;
    void EncodeValueLabels(std::string& out) const;
    void EncodeDocuments(std::string& out) const;
    void StripWideStringDescriptions();
    void PatchCaseCount(int64_t count);
    void PatchAt(int64_t position, const void* bytes, size_t size);

    const SystemFileDataSource& fOwner;
    const unsigned fLogicalCells;  // of a case as the owner passes it
    VESK_FileStream& fStream;
    SystemFileOptions& fOptions;
    int64_t fRowsWritten = 0;
    int64_t fRowsBefore = 0;
    int64_t fCountRecordPos = 0;
    std::vector<std::pair<int32_t, int32_t>> fVeryLongStrings;
    std::vector<SystemFileVeryLongString> fStoredStrings;
    std::vector<OBS> fOutput;  // the physical case, with very long strings only
    std::vector<std::unique_ptr<Mover>> fMovers;
    std::unique_ptr<zcmpsFilestr> fZStream;
    std::unique_ptr<CompressedSystemFile> fCompressor;
    std::string fDictionary;   // built, not yet written
    int64_t fCountOffset = -1; // of the subtype-16 payload in fDictionary
    size_t fCaseBytes = 0;
    bool fBuilt = false;
    bool fFinished = false;
    bool fFailed = false;       // a write failed: the file has a gap
};
