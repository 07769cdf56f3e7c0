// Inputs found by fuzzing the reader (fuzz/sysfile_fuzzer.cpp), each cut down
// to the bytes that matter. A malformed file must end in a VeskError; a failed
// assertion or a crash on the way is a bug.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "DSDocument.h"
#include "SystemFileDataSource.h"
#include "case.h"
#include "datasrc.h"
#include "errortext.h"
#include "tempdir.h"
#include "textmb.h"

namespace {

struct SourceDeleter {
    void operator()(VESK_DataSource* s) const { DeleteLine(s); }
};
using SourcePtr = std::unique_ptr<VESK_DataSource, SourceDeleter>;

// Opens the file as the vesk tool does and reads its documents and every
// case. Returns the number of the library error raised, 0 for none.
int ReadAll(const std::string& path) {
    SetUTF8mode(1);
    try {
        SourcePtr source(SystemFileDataSource::GetSystemFile(path, "", false, nullptr));
        GetDocuments(*source);
        std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
        while (it->NextCase()) {
        }
        return 0;
    } catch (const VeskError& e) {
        return e.Number();
    }
}

// A type-7 record of subtype 0 (the subtype of the in-memory document block)
// with 24 bytes of content. Kept as a raw block it replaced the document
// lines with a block that is no whole number of 80-byte lines, and
// GetDocuments failed its assertion "bytes%80 == 0".
TEST(SysFileReaderFuzzRegressions, ExtensionRecordOfSubtypeZeroLeavesDocumentsReadable) {
    static const char kBytes[] =
        "\x24\x46\x4c\x32\x40\x28\x23\x29\x20\x66\x75\x7a\x7a\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
        "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
        "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x02\x00\x00\x00\x01\x00\x00\x00"
        "\x00\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x59\x40\x31\x35\x20\x4d"
        "\x61\x72\x20\x32\x34\x31\x33\x3a\x34\x35\x3a\x30\x37\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
        "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
        "\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20\x20"
        "\x20\x20\x20\x20\x20\x00\x00\x00\x02\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00"
        "\x02\x08\x05\x00\x02\x08\x05\x00\x41\x20\x20\x20\x20\x20\x20\x20\x07\x00\x00\x00\x00\x00\x00\x00"
        "\x08\x00\x00\x00\x03\x00\x00\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"
        "\xff\xff\xff\xff\xff\xff\xff\xff\xe7\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\xf0\x3f";
    TempDir dir("fuzzregression");
    const std::string path = dir.File("case.sys");
    std::ofstream(path, std::ios::binary).write(kBytes, sizeof kBytes - 1);
    int error = -1;
    EXPECT_NO_THROW(error = ReadAll(path));
    EXPECT_TRUE(error == 0 || error == 1204) << error;
}

}  // namespace
