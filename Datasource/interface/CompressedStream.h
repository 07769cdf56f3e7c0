// The row bytecode of the temporary case store.
//
// Each row is coded on its own as one or more blocks: a header byte whose
// high 4 bits give the number of code bytes c and whose low 4 bits give the
// number of raw cells r, then the c codes, then the r raw cells of 8 bytes.
// A block's cells are its coded cells followed by its raw cells; the blocks
// of a row carry exactly the row's cells. A row of 0 cells is the byte 0x00.
// Codes: 1..251 the integer code - 100, 254 eight spaces, 255 system-missing.
#pragma once

#include <stdexcept>

#include "obs.h"
#include "vesk_export.h"

class VESK_StrBaseIO;

// A failed read, write or seek inside a row, or a malformed row. Carries the
// errno of the failure (0 when the stream set none; EILSEQ for a block that
// carries more cells than its row).
class VESK_EXPORT CompressedStreamError : public std::runtime_error {
public:
    explicit CompressedStreamError(int error);
    int Errno() const { return fErrno; }

private:
    int fErrno;
};

// Codes n cells as one row.
VESK_EXPORT void WriteCompressed(VESK_StrBaseIO& out, const OBS* cells, long n);
// Decodes one row of n cells; false when the stream ends cleanly before the row.
VESK_EXPORT bool ReadCompressed(VESK_StrBaseIO& in, OBS* cells, long n);
// Moves past one row of n cells; false on a clean end.
VESK_EXPORT bool SkipCompressed(VESK_StrBaseIO& in, long n);
// Copies one coded row of n cells block by block without decoding; false on a clean end.
VESK_EXPORT bool CopyPrecompressed(VESK_StrBaseIO& in, VESK_StrBaseIO& out, long n);
