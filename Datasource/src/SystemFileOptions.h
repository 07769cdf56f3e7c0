// The in-memory header and options of one system file, shared by its reader,
// its writer, their codecs and the extension handlers.
#pragma once

#include <bitset>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "obs.h"
#include "sysfilelayout.h"
#include "textmb.h"

// Entry of the very-long-string dechunker: where a string's segments stand in
// the stored case and where the string goes in the logical case.
struct SystemFileChunkEntry {
    int64_t sourceCell = 0;
    int64_t length = 0;
    int64_t targetCell = 0;
    int64_t sourceCellAfter = 0;
    int64_t targetCellAfter = 0;
    int64_t cellsAfter = 0;
};

// A very long string named by extension subtype 14 and accepted by its
// handler, in the stored (segmented) dictionary: the column and first cell of
// its first segment, and its full width. Entries are in ascending column order
// and their segments do not overlap; the dechunker is built from them.
struct SystemFileVeryLongString {
    int32_t varIndex = 0;
    int32_t width = 0;
    int64_t storedCell = 0;
};

// The in-memory header and options of one system file, shared by its reader,
// its writer and their codecs.
struct SystemFileOptions {
    double _bias = SysFileLayout::kBias;
    double _sysmis = VESK_SYSMIS;          // replaced by extension subtype 4
    double _highest;                       // highest value, replaced by subtype 4
    double _lowest;                        // lowest value, replaced by subtype 4
    int64_t _nCases = -1;                  // -1 unknown
    int64_t _cellsPerCase = -1;            // -1 until the dictionary is read
    std::string _eyeCatcher = SysFileLayout::kProductText;
    int32_t _layoutCode = SysFileLayout::kLayoutCode;
    // Machine integer record (subtype 3).
    int32_t _releaseMajor = 23;
    int32_t _releaseMinor = 0;
    int32_t _releaseRevision = 0;
    int32_t _machineCode = 720;
    int32_t _floatingPointRep = 1;
    int32_t _compressionCode = 1;
    int32_t _characterCode = 2;
    int32_t _weightIndex = 0;
    // (short name, long name) pairs read; (long name, short name) when writing.
    // A reader reads them through LongNames(): it keeps the text of the long
    // name records in _longNamesText (SHORT=LONG entries joined by tabs, their
    // shape checked) and splits it into pairs only when they are asked for;
    // a wide file's pairs would take twice the text.
    std::vector<std::pair<std::string, std::string>> _longNames;
    std::string _longNamesText;
    std::bitset<SysFileLayout::kExtensionFoundSize> _extensionFound;
    std::vector<SystemFileChunkEntry> _chunks;
    std::vector<SystemFileVeryLongString> _veryLongStrings;  // from subtype 14, stored layout
    std::vector<uint8_t> _swapFlags;  // one per cell, only for a file in the other order
    int32_t _compression = SysFileLayout::kCompressNone;
    bool _reversed = false;
    bool _longNamesPresent = false;
    std::string _encoding;
    ExtNameStr _password;
    // Compression code 2: inflated blocks kept besides the current one (0..64).
    int32_t _zlibCachedBlocks = 2;

    SystemFileOptions();

    // _longNames, after the entries of _longNamesText are appended to it.
    std::vector<std::pair<std::string, std::string>>& LongNames();
};
