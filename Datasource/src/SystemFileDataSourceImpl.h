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
#include "cryptfile.h"
#include "filestream.h"
#include "replacingfile.h"
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
    std::unique_ptr<CryptFileStream> crypt;  // with a password only
    int64_t fileSize = 0;                   // bytes of the file when opened
    // Name under which this reader stands in the open-file registry.
    std::string registered;
    bool isRegistered = false;
    // Writing: the writer while the state is eStateWriting; after writing or
    // appending the stream must be opened again for reading.
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

// The encoding the options name: the stored encoding name; when none, that
// of the character code, else the process's default encoding.
std::string EncodingOf(const SystemFileOptions& options);

// Longest variable name a file may carry, in bytes.
constexpr size_t kMaxNameBytes = 64;
