// libFuzzer harness: any input bytes as a system file.
//
// The reader takes file names only, so each input is written to one file in
// a memory-backed directory (/dev/shm when there is one) and opened from
// there the way the vesk tool opens files. The whole dictionary is rendered
// as the tool's JSON and every case as its CSV line; after the last case
// every 64th row is read again through Seek and must come back unchanged.
// The reader's own cases are also read in batches (NextCases), which must give
// the rows read one at a time and, on damage, the same error.
//
// Each input also goes through the decrypt path twice, under a fixed
// password: read as an encrypted file as it is (the corpus holds encrypted
// seeds), and, when it starts like a system file, enciphered first and then
// read through the clear copy. The harness's own files use the cheapest key
// derivation; the reader still refuses limits beyond the sensitive ones.
//
// Library errors (VeskError) are the expected outcome for malformed input.
// Anything else escapes: a failed assertion (VESK_AssertFailed), a standard
// exception or a sanitizer report is a finding.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "DSDocument.h"
#include "SystemFileDataSource.h"
#include "casecsv.h"
#include "cryptfile.h"
#include "case.h"
#include "datasrc.h"
#include "dictjson.h"
#include "errortext.h"
#include "filecipher.h"
#include "scratchfiles.h"
#include "textmb.h"
#include "textout.h"

namespace {

// The password of the encrypted seeds (fuzz/make_corpus.cpp).
constexpr char kPassword[] = "fuzz";

std::string gPath, gEncryptedPath;  // the input, the input enciphered

struct SourceDeleter {
    void operator()(VESK_DataSource* s) const { DeleteLine(s); }
};

// Writes an encrypted file whose clear data is the input.
bool WriteEncrypted(const std::string& path, const uint8_t* data, size_t size) {
    CryptFileStream s(ExtNameStr(path.c_str()), ExtNameStr(kPassword), "wb");
    return s.Write(data, size) == size && s.Close() && !s.CommitFailed();
}

// The error number f raises (0 for none).
template <class F>
int ErrorOf(F&& f) {
    try {
        f();
    } catch (const VeskError& e) {
        return e.Number();
    }
    return 0;
}

// The cases of the reader at the bottom of the chain, one at a time and in
// batches of an odd size: a batch may fail as a whole, so the batched rows
// are a prefix of the others when both end in the same error.
void CompareBatches(const VESK_DataSource& top) {
    const SystemFileDataSource* file = nullptr;
    for (const VESK_DataSource* s = &top; s && !file; s = s->GetParentSource())
        file = dynamic_cast<const SystemFileDataSource*>(s);
    if (!file) return;
    const size_t stride = std::max<size_t>(file->GetObsAreaSize(), 1);
    std::vector<OBS> single, batched;
    std::unique_ptr<VESK_InputCaseIterator> one(file->MakeIterator(nullptr));
    const int singleError = ErrorOf([&] {
        const OBS* cells = one->GetCase().Cells();
        while (one->NextCase()) single.insert(single.end(), cells, cells + stride);
    });
    std::unique_ptr<VESK_InputCaseIterator> many(file->MakeIterator(nullptr));
    auto* batches = dynamic_cast<SystemFileDataSource::Iterator*>(many.get());
    if (!batches) fuzz::Finding("the reader's iterator reads no batches");
    constexpr int64_t kBatch = 37;
    std::vector<OBS> block(stride * kBatch);
    const int batchError = ErrorOf([&] {
        for (int64_t got = kBatch; got == kBatch;) {
            got = batches->NextCases(block.data(), stride, kBatch);
            batched.insert(batched.end(), block.begin(), block.begin() + long(size_t(got) * stride));
        }
    });
    const bool prefix = batched.size() <= single.size() &&
                        std::equal(batched.begin(), batched.end(), single.begin(),
                                   [](const OBS& a, const OBS& b) { return a.bits == b.bits; });
    if (batchError != singleError || !prefix || (singleError == 0 && batched.size() != single.size()))
        fuzz::Finding("batches read %zu cells (error %d), single cases %zu (error %d)", batched.size(), batchError,
                      single.size(), singleError);
}

void ReadEverything(const std::string& path, const std::string& password = std::string()) {
    std::unique_ptr<VESK_DataSource, SourceDeleter> source(
        SystemFileDataSource::GetSystemFile(path, password, false, nullptr));

    CompareBatches(*source);  // before anything can stop at damage

    // Directly first: the tool guards this call, the library must not need it.
    GetDocuments(*source);

    std::string text;
    vesk::JsonWriter json(text);
    json.BeginObject();
    vesk::WriteDictionaryMembers(json, *source);
    json.EndObject();

    std::vector<int> columns;
    for (unsigned i = 0; i < source->ColumnCount(); ++i) columns.push_back(int(i));
    // Plain, and formatted with labels: every value's formatting and label lookup.
    const vesk::CsvCaseWriter plain(*source, columns, {});
    const vesk::CsvCaseWriter shown(*source, columns, {'\t', true, true});
    vesk::ByteBuffer csv;
    plain.AppendHeader(csv);

    std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
    const OBS* cells = it->GetCase().Cells();
    const size_t caseCells = source->GetObsAreaSize();
    std::vector<std::vector<OBS>> kept;  // every 64th row, to check Seek against
    int64_t rows = 0;
    while (it->NextCase()) {
        csv.Clear();
        plain.AppendCase(csv, cells);
        shown.AppendCase(csv, cells);
        if (rows % 64 == 0) kept.emplace_back(cells, cells + caseCells);
        ++rows;
    }
    // Back to the kept rows, last first: each one is a walk from an indexed row.
    for (size_t k = kept.size(); k-- > 0;) {
        it->Seek(int64_t(k) * 64);
        if (!it->NextCase() || std::memcmp(cells, kept[k].data(), caseCells * sizeof(OBS)) != 0)
            fuzz::Finding("row %lld reads differently after Seek", static_cast<long long>(k * 64));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUTF8mode(1);
    fuzz::ReadSynchronously();
    FileCipher::SetNewFileLimits(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit());
    gPath = fuzz::ScratchPath(".sys");
    gEncryptedPath = fuzz::ScratchPath("-encrypted.sys");
    return 0;
}

namespace {

// Runs one reading; library errors are the expected outcome of bad input.
template <class Read>
void Guarded(Read&& read) {
    try {
        read();
    } catch (const VeskError&) {
        // A malformed file, reported as it should be.
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::WriteFile(gPath, data, size);
    Guarded([&] { ReadEverything(gPath); });
    Guarded([&] { ReadEverything(gPath, kPassword); });
    const bool systemFile = size >= 4 && (std::memcmp(data, "$FL2", 4) == 0 || std::memcmp(data, "$FL3", 4) == 0);
    if (systemFile) {
        if (!WriteEncrypted(gEncryptedPath, data, size)) fuzz::Finding("cannot write %s", gEncryptedPath.c_str());
        Guarded([&] { ReadEverything(gEncryptedPath, kPassword); });
    }
    return 0;
}
