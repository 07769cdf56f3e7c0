// Reading the cases of a system file: positioning on a row and decoding the
// stored case of each compression, byte order and very-long-string layout.
#define VESK_SOURCE_NAME "Datasource/src/SystemFileIterator"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "CompressedSystemFile.h"
#include "SystemFileDataSource.h"
#include "SystemFileDataSourceImpl.h"
#include "SystemFileDechunker.h"
#include "SystemFileException.h"
#include "filestream.h"
#include "sysfilecoding.h"
#include "vesk_assert.h"
#include "zcmpsfilestr.h"
#include "zcompressedfilestr.h"

using namespace SysFileLayout;

struct SystemFileDataSource::Iterator::State {
    std::unique_ptr<VESK_FileStream> stream;      // own copy; none for code 2
    std::unique_ptr<CompressedSystemFile> codec;  // codes 1 and 2
    std::vector<OBS> staging;                     // stored case, very long strings only
    int64_t caseLen = 0;                          // bytes of a stored case
    const uint8_t* swapFlags = nullptr;
    bool readAhead = false;
    bool atEnd = false;                           // the last Seek went beyond any position
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
inline int SystemFileDataSource::Iterator::ReadStored(OBS* into) {
    State& s = *fState;
    if (s.codec) return s.codec->ReadRow(into, s.swapFlags) != 0;
    const size_t caseLen = size_t(s.caseLen);
    if (caseLen == 0) return 0;
    const size_t readLen = s.stream->Read(into, caseLen);
    SF_REQUIRE(readLen== 0 || readLen == caseLen, DatasrcMsg::ShortRead);
    if (readLen == 0) return 0;
    if (s.swapFlags) {
        const size_t cells = caseLen / sizeof(OBS);
        for (size_t i = 0; i < cells; ++i)
            if (s.swapFlags[i]) ReverseCell(into[i]);
    }
    return 1;
}

// Moves the stream or the codec to the target row when a Seek moved it.
void SystemFileDataSource::Iterator::Position() {
    State& s = *fState;
    if (fTargetRow == fFileRow) return;
    if (s.codec) {
        s.codec->SetTargetRow(fTargetRow);
    } else {
        // Rows beyond any possible position simply are not there.
        const int64_t row0 = fBody->_row0pos;
        const bool reachable =
            s.caseLen == 0 || fTargetRow <= (std::numeric_limits<int64_t>::max() - row0) / s.caseLen;
        const int64_t at = reachable ? row0 + fTargetRow * s.caseLen : std::numeric_limits<int64_t>::max();
        if (s.stream->Seek(at, VESK_StrBaseIO::SeekFromStart) != 0) {
            // Not there: the read that follows finds the end.
            fFileRow = fTargetRow;
            s.atEnd = true;
            return;
        }
    }
    fFileRow = fTargetRow;
    s.atEnd = false;
}

// Reads the target row into cells: 1 for a case, 0 at the end of the data.
inline int SystemFileDataSource::Iterator::ReadInto(OBS* cells) {
    State& s = *fState;
    OBS* into = s.staging.empty() ? cells : s.staging.data();
    if (!s.atEnd && ReadStored(into)) {
        if (!s.staging.empty()) SystemFileDechunker::Apply(fBody->_options._chunks, into, cells);
        ++fFileRow;
        ++fTargetRow;
        return 1;
    }
    SettleRowCount();
    return 0;
}

int SystemFileDataSource::Iterator::Next() {
    try {
        if (fTargetRow != fFileRow) Position();
        return ReadInto(GetCase().Cells());
    } catch (const SystemFileException& e) {
        e.Raise(GetDataSource().GetFileSpec());
    }
}

int64_t SystemFileDataSource::Iterator::NextCases(OBS* into, size_t stride, int64_t n) {
    VESK_ASSERT(stride >= size_t(GetDataSource().GetObsAreaSize()) && n >= 0);
    try {
        Position();
        State& s = *fState;
        // Uncompressed cases laid out as stored: one read for all of them.
        if (!s.codec && s.staging.empty() && !s.swapFlags && !s.atEnd && s.caseLen > 0 &&
            stride * sizeof(OBS) == size_t(s.caseLen))
            return ReadWhole(into, n);
        if (s.codec && s.staging.empty()) return ReadCoded(into, stride, n);
        int64_t k = 0;
        while (k < n && ReadInto(into + size_t(k) * stride)) ++k;
        return k;
    } catch (const SystemFileException& e) {
        e.Raise(GetDataSource().GetFileSpec());
    }
}

// Whole uncompressed cases straight from the stream; a part of a case at the
// end is a short read (1205), as for NextCase.
int64_t SystemFileDataSource::Iterator::ReadWhole(OBS* into, int64_t n) {
    State& s = *fState;
    const size_t caseLen = size_t(s.caseLen);
    const int64_t most = std::min<int64_t>(n, int64_t(std::numeric_limits<size_t>::max() / caseLen));
    const size_t got = s.stream->Read(into, size_t(most) * caseLen);
    SF_REQUIRE(got % caseLen == 0, DatasrcMsg::ShortRead);
    const int64_t cases = int64_t(got / caseLen);
    fFileRow += cases;
    fTargetRow += cases;
    if (cases < n) SettleRowCount();
    return cases;
}

// Cases of a bytecode or zlib data area straight from the codec.
int64_t SystemFileDataSource::Iterator::ReadCoded(OBS* into, size_t stride, int64_t n) {
    const int64_t cases = fState->codec->ReadRows(into, stride, n, fState->swapFlags);
    fFileRow += cases;
    fTargetRow += cases;
    if (cases < n) SettleRowCount();
    return cases;
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
