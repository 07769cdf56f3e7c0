// libFuzzer harness: any input bytes as a system file.
//
// The reader takes file names only, so each input is written to one file in
// a memory-backed directory (/dev/shm when there is one) and opened from
// there the way the vesk tool opens files. The whole dictionary is rendered
// as the tool's JSON and every case as its CSV line; after the last case
// every 64th row is read again through Seek and must come back unchanged.
//
// Library errors (VeskError) are the expected outcome for malformed input.
// Anything else escapes: a failed assertion (VESK_AssertFailed), a standard
// exception or a sanitizer report is a finding.
#include <unistd.h>

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
#include "case.h"
#include "datasrc.h"
#include "dictjson.h"
#include "errortext.h"
#include "textmb.h"
#include "textout.h"
#include "zcompressedfilestr.h"

namespace {

// Sets the process-wide asynchronous-reading switch.
void SetAsynchReading(bool on) {
    const int64_t mode = on ? 1 : 0;
    SETASYNCHREADING(&mode);
}

std::string gPath;

void RemoveInput() { std::remove(gPath.c_str()); }

// One file per fuzzing process, removed at exit.
const std::string& InputPath() {
    if (gPath.empty()) {
        const char* tmp = std::getenv("TMPDIR");
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : tmp ? tmp : "/tmp";
        gPath = std::string(dir) + "/vesk-fuzz-" + std::to_string(getpid()) + ".sys";
        std::atexit(RemoveInput);
    }
    return gPath;
}

void WriteInput(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::perror(path.c_str());
        std::abort();
    }
}

struct SourceDeleter {
    void operator()(VESK_DataSource* s) const { DeleteLine(s); }
};

void ReadEverything(const std::string& path) {
    std::unique_ptr<VESK_DataSource, SourceDeleter> source(
        SystemFileDataSource::GetSystemFile(path, std::string(), false, nullptr));

    // Directly first: the tool guards this call, the library must not need it.
    GetDocuments(*source);

    std::string text;
    vesk::JsonWriter json(text);
    json.BeginObject();
    vesk::WriteDictionaryMembers(json, *source);
    json.EndObject();

    std::vector<int> columns;
    for (unsigned i = 0; i < source->ColumnCount(); ++i) columns.push_back(int(i));
    text.clear();
    vesk::AppendCsvHeader(text, *source, columns);

    std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
    const OBS* cells = it->GetCase().Cells();
    const size_t caseCells = source->GetObsAreaSize();
    std::vector<std::vector<OBS>> kept;  // every 64th row, to check Seek against
    int64_t rows = 0;
    while (it->NextCase()) {
        text.clear();
        vesk::AppendCsvCase(text, *source, columns, cells);
        if (rows % 64 == 0) kept.emplace_back(cells, cells + caseCells);
        ++rows;
    }
    // Back to the kept rows, last first: each one is a walk from an indexed row.
    for (size_t k = kept.size(); k-- > 0;) {
        it->Seek(int64_t(k) * 64);
        if (!it->NextCase() || std::memcmp(cells, kept[k].data(), caseCells * sizeof(OBS)) != 0) {
            std::fprintf(stderr, "row %lld reads differently after Seek\n", static_cast<long long>(k * 64));
            std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetUTF8mode(1);
    // Read-ahead threads would make runs slow and nondeterministic.
    SetAsynchReading(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& path = InputPath();
    WriteInput(path, data, size);
    try {
        ReadEverything(path);
    } catch (const VeskError&) {
        // A malformed file, reported as it should be.
    }
    return 0;
}
