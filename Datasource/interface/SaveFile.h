// Writing whole system files: a write-only system-file store filled row by
// row, and a one-call save of any data source.
#pragma once

#include "SystemFileDataSource.h"
#include "vesk_export.h"

// A system file written row by row: give it a dictionary, then AddRow and
// Close (the base's slots). It yields no cases. An existing file is replaced
// only by a successful Close (SystemFileDataSource::SetReplaceOnClose).
class VESK_EXPORT SaveFile : public SystemFileDataSource {
public:
    // password null: a plain file; else the encrypted form under the
    // password (text in the process's encoding). mangled: the password is in
    // the encryption library's mangled form (passwordcrypt.h).
    SaveFile(const char* fileSpec, const char* password, bool mangled);
    ~SaveFile() override;

    // Misuse: a save file has no cases to read (assertion failure).
    VESK_InputCaseIterator* MakeIterator(OBS* buffer) const override;
};

// Writes the dictionary and every case of source to the file; compress
// nonzero selects bytecode compression. Errors of the writer pass through
// (1201, 1202, 1209, 1504, 1505); on any error an existing file keeps its
// old contents and nothing of the new one is left.
VESK_EXPORT void SaveSystemFile(const char* fileName, const VESK_DataSource& source, int compress);
