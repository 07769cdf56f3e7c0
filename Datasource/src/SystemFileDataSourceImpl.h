// The body of a SystemFileDataSource, shared by the files that implement it:
// SystemFileDataSource.cpp (lifecycle, properties, writing),
// SystemFileDictionaryReader.cpp (the dictionary) and SystemFileIterator.cpp
// (the cases).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "SaveDS.h"
#include "SystemFileDataSource.h"
#include "SystemFileOptions.h"
#include "filestream.h"
#include "sparsefileindex.h"
#include "textmb.h"
#include "zcmpsfilestr.h"

struct SystemFileDataSource::Impl {
    FileState state = eStateNew;
    SystemFileOptions _options;
    bool passwordMangled = false;
    VESK_FileStream _file{true};
    VESK_SparseFileIndex rowIndex{1};
    int64_t _row0pos = 0;
    int64_t nCasesLoc = -1;
    ExtNameStr fileName;
    uint32_t openIterators = 0;
    std::unique_ptr<zcmpsFilestr> zreader;  // compression code 2 only
    int64_t fileSize = 0;                   // bytes of the file when opened
    // Name under which this reader stands in the open-file registry.
    std::string registered;
    bool isRegistered = false;
    // Writing: the writer while the state is eStateWriting; after writing or
    // appending the stream must be opened again for reading.
    std::unique_ptr<SaveDS> writer;
    bool reopenForReading = false;
};

// Longest variable name a file may carry, in bytes.
constexpr size_t kMaxNameBytes = 64;
