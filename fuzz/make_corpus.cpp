// Writes the fuzzing seed corpus: small valid system files of every kind the
// reader knows (data area plain, bytecode and zlib; both byte orders; very
// long strings; value labels and missing values of every form; documents;
// every extension record; an unknown case count; a code-page file; encrypted
// files under the harness's password, enciphered with the cheapest key
// derivation).
//
//   make_corpus DIR
//
// Files are built with the tests' byte builder; the zlib data area goes
// through the file-stream library's block layer. The output is deterministic.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "cryptfile.h"
#include "filecipher.h"
#include "filestream.h"
#include "sysfilebuilder.h"
#include "zcmpsfilestr.h"

namespace {

using namespace SysFileLayout;
using Builder = SysFileBuilder;

std::string gDir;

void Save(const std::string& name, const Builder& b) { b.WriteTo(gDir + "/" + name); }

// The usual records of a file written by the package: machine integers and
// floats.
void MachineRecords(Builder& b, int characterCode = 65001) {
    b.ExtensionInts(kExtMachineIntegers, {23, 0, 0, 720, 1, 1, 2, characterCode});
    b.ExtensionDoubles(kExtMachineFloats, {VESK_SYSMIS, std::numeric_limits<double>::max(),
                                           std::nextafter(VESK_SYSMIS, 0.0)});
}

void CaseCount(Builder& b, int64_t n) {
    unsigned char bytes[16];
    b.Order().PutI64(bytes, 1);
    b.Order().PutI64(bytes + 8, n);
    b.Extension(kExtCaseCount, 8, 2, bytes);
}

// Three numerics, the awkward values among them.
Builder Numbers(Builder::ByteOrder order, int compression) {
    Builder b(order);
    b.Header({.compression = compression, .label = "numbers"});
    b.Variable({.name = "A"}).Variable({.name = "B", .missing = {-1}}).Variable({.name = "C"});
    MachineRecords(b);
    b.End();
    b.Row(Cells().Num(1).Num(2.5).Num(-0.0));
    b.Row(Cells().Num(1e300).Sysmis().Num(-1));
    b.Row(Cells().Num(151).Num(-99).Num(152));
    b.Row(Cells().Num(0.1).Num(std::numeric_limits<double>::denorm_min()).Num(-1e-300));
    return b;
}

// Strings of several widths, value labels and missing values of every form, a
// weight and documents.
Builder Strings(Builder::ByteOrder order, int compression) {
    Builder b(order);
    b.Header({.compression = compression, .weightIndex = 5, .label = "strings and labels"});
    b.Variable({.name = "CODE", .type = 3, .label = "Code", .missingText = {"X", "YY"}})
        .Variable({.name = "CITY", .type = 12, .missingText = {"none"}})
        .Variable({.name = "SCORE", .label = "Score", .missing = {0, 10}, .missingCount = kMissingRange})
        .Variable({.name = "W", .label = "Weight"})
        .Variable({.name = "RANK", .missing = {90, 99, -1}, .missingCount = kMissingRangeAndValue})
        .Variable({.name = "NOTE", .type = 40, .label = "A note, \"quoted\""});
    b.ValueLabels({{1, "one"}, {2, "two"}, {-1, "minus one"}}, {b.PositionOf("SCORE"), b.PositionOf("RANK")});
    b.StringValueLabels({{"X", "ex"}, {"YY", std::string(255, 'L')}}, {b.PositionOf("CODE")});
    b.Documents({"First document line.", "   (Entered 01-Feb-2023)"});
    b.Documents({"Second document, no date line"});
    MachineRecords(b);
    b.End();
    b.Row(Cells().Str("AB", 3).Str("Springfield", 12).Num(5).Num(1).Num(3).Str("plain", 40));
    b.Row(Cells().Str("X", 3).Str("", 12).Num(0).Num(2).Sysmis().Str("comma, quote \" and\nnewline", 40));
    b.Row(Cells().Str("YY", 3).Str("none", 12).Sysmis().Num(0.5).Num(99).Str(std::string(40, 'z'), 40));
    return b;
}

// A very long string of width 600 (two full segments and a rest), with long
// names and display properties.
Builder VeryLong(Builder::ByteOrder order, int compression) {
    const int width = 600;
    const int rest = width - kSegmentWidthDivisor * FullSegments(width);
    Builder b(order);
    b.Header({.compression = compression, .label = "very long string"});
    b.Variable({.name = "ID"})
        .Variable({.name = "ESSAY", .type = kMaxRecordStringWidth, .label = "Essay"})
        .Variable({.name = "ESSAY1", .type = kMaxRecordStringWidth})
        .Variable({.name = "ESSAY2", .type = rest})
        .Variable({.name = "TAIL", .type = 5});
    MachineRecords(b);
    b.ExtensionInts(11, {3, 8, 1, 1, 60, 0, 1, 60, 0, 1, 60, 0, 1, 5, 0});
    b.ExtensionText(kExtLongNames, "ID=Identifier\tESSAY=Essay\tTAIL=Tail");
    b.ExtensionText(kExtVeryLongStrings, std::string("ESSAY=600") + '\0' + '\t');
    CaseCount(b, 2);
    b.End();
    std::string text;
    for (int i = 0; i < width; ++i) text += char('a' + i % 26);
    for (int row = 0; row < 2; ++row) {
        const std::string t = row == 0 ? text : "short";
        Cells c;
        c.Num(row + 1);
        for (int s = 0; s < FullSegments(width); ++s) {
            const size_t at = size_t(s) * kSegmentTextBytes;
            c.Str(at < t.size() ? t.substr(at, kSegmentTextBytes) : "", kSegmentBytes);
        }
        const size_t at = size_t(FullSegments(width)) * kSegmentTextBytes;
        c.Str(at < t.size() ? t.substr(at) : "", rest);
        c.Str("end", 5);
        b.Row(c);
    }
    return b;
}

// Every extension record with a handler, and two without.
Builder Extensions(Builder::ByteOrder order) {
    Builder b(order);
    b.Header({.compression = kCompressBytecode, .label = "extensions"});
    b.Variable({.name = "Q1"}).Variable({.name = "Q2"}).Variable({.name = "Q3"})
        .Variable({.name = "NAME", .type = 20}).Variable({.name = "DATE"});
    MachineRecords(b);
    b.ExtensionText(5, "block= q1 q2\nall= q1 q2 q3 name\n");
    b.ExtensionInts(6, {1, 12, 1, 1, 2000, 1, 1, 2, 0, 7, 11, 0});
    b.ExtensionText(7, "$pets=C 4 Pets q1 q2\n$yes=D1 1 7 Answers q1 q2 q3\n");
    b.ExtensionInts(11, {1, 8, 1, 2, 8, 1, 3, 8, 1, 1, 20, 0, 3, 8, 1});
    b.ExtensionText(kExtLongNames, "Q1=q1\tQ2=Question2\tQ3=q3\tNAME=name\tDATE=date");
    CaseCount(b, 2);
    b.ExtensionText(17, "Origin('panel'\n'wave 2'\n)$VariableView('x'\n)");
    b.ExtensionText(18, "q1:$@Role('1'\n)Unit('cm'\n)/Question2:$@Role('3'\n)$@ExtendRole('6'\n)/q3:$@MeasurementLevel('4'\n)");
    b.ExtensionText(19, "$both=E 11 1 1 0  q1 Question2\n");
    b.ExtensionText(20, "UTF-8");
    {
        // Value labels (subtype 21) and missing values (22) of the 20-byte string.
        std::string vl, mv;
        auto i32 = [&](std::string& s, int32_t v) {
            unsigned char x[4];
            b.Order().PutI32(x, v);
            s.append(reinterpret_cast<char*>(x), 4);
        };
        i32(vl, 4); vl += "name"; i32(vl, 20); i32(vl, 2);
        i32(vl, 5); vl += "alice"; i32(vl, 5); vl += "Alice";
        i32(vl, 20); vl += std::string("bob") + std::string(17, ' '); i32(vl, 3); vl += "Bob";
        i32(mv, 4); mv += "name"; mv += char(2); i32(mv, 8); mv += "unknown none    ";
        b.ExtensionText(21, vl);
        b.ExtensionText(22, mv);
    }
    b.ExtensionText(23, "1:0:8!\x1D" "1\x1F" "0\x1D" "2\x1F" "1");
    b.ExtensionText(24, "editor settings");
    b.ExtensionText(2, "raw two");
    b.ExtensionInts(30, {30, 31});
    b.End();
    b.Row(Cells().Num(1).Num(2).Num(3).Str("alice", 20).Num(13e9));
    b.Row(Cells().Num(4).Sysmis().Num(6).Str("bob", 20).Num(13.5e9));
    return b;
}

// A case count the header does not know, and no count record.
Builder UnknownCount() {
    Builder b;
    b.Header({.compression = kCompressBytecode, .caseCount = -1});
    b.Variable({.name = "X"}).Variable({.name = "S", .type = 9});
    b.End();
    for (int i = 0; i < 40; ++i) b.Row(Cells().Num(i * 0.25).Str(i % 2 ? "odd" : "", 9));
    return b;
}

// Texts in windows-1252, with no encoding record.
Builder CodePage() {
    Builder b;
    b.Header({.label = "caf\xE9 cr\xE8me"});
    b.Variable({.name = "STADT", .type = 8, .label = "Gro\xDF" "e Stadt"}).Variable({.name = "N"});
    b.ValueLabels({{1, "\xE9t\xE9"}}, {b.PositionOf("N")});
    MachineRecords(b, 1252);
    b.End();
    b.Row(Cells().Str("M\xFCnchen", 8).Num(1));
    b.Row(Cells().Str("K\xF6ln", 8).Num(2));
    return b;
}

// The file of b with its data area moved into zlib blocks (compression 2).
void SaveZlib(const std::string& name, const Builder& b) {
    std::vector<uint8_t> bytes = b.Bytes();
    const size_t start = b.DataStart();
    std::memcpy(bytes.data() + kOffMagic, kMagicZlib, kMagicSize);
    b.Order().PutI32(bytes.data() + kOffCompression, kCompressZlib);
    const std::string path = gDir + "/" + name;
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, start, f);
        std::fclose(f);
    } else {
        throw std::runtime_error("cannot write " + path);
    }
    VESK_FileStream file;
    if (!file.Open(path.c_str(), "r+b")) throw std::runtime_error("cannot open " + path);
    zcmpsFilestr z(file);
    file.Close();
    z.setRow0Pos(int64_t(start), b.Order().Reversed());
    z.Write(bytes.data() + start, bytes.size() - start);
    if (!z.Close()) throw std::runtime_error("cannot finish " + path);
}

// The file of b encrypted under the harness's password (fuzz/sysfile_fuzzer.cpp).
void SaveEncrypted(const std::string& name, const Builder& b) {
    const std::vector<uint8_t> bytes = b.Bytes();
    const std::string path = gDir + "/" + name;
    CryptFileStream s(ExtNameStr(path.c_str()), ExtNameStr("fuzz"), "wb");
    if (s.Write(bytes.data(), bytes.size()) != bytes.size() || !s.Close() || s.CommitFailed())
        throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_corpus DIR\n");
        return 2;
    }
    gDir = argv[1];
    try {
        const Builder::ByteOrder little = Builder::ByteOrder::Little(), big = Builder::ByteOrder::Big();
        Save("numbers_plain_le.sys", Numbers(little, kCompressNone));
        Save("numbers_plain_be.sys", Numbers(big, kCompressNone));
        Save("numbers_bytecode_be.sys", Numbers(big, kCompressBytecode));
        Save("strings_plain_le.sys", Strings(little, kCompressNone));
        Save("strings_bytecode_be.sys", Strings(big, kCompressBytecode));
        Save("verylong_bytecode_le.sys", VeryLong(little, kCompressBytecode));
        Save("verylong_plain_be.sys", VeryLong(big, kCompressNone));
        Save("extensions_le.sys", Extensions(little));
        Save("extensions_be.sys", Extensions(big));
        Save("unknown_count.sys", UnknownCount());
        Save("codepage.sys", CodePage());
        SaveZlib("numbers_zlib_le.sys", Numbers(little, kCompressBytecode));
        SaveZlib("strings_zlib_be.sys", Strings(big, kCompressBytecode));
        SaveZlib("verylong_zlib_le.sys", VeryLong(little, kCompressBytecode));
        FileCipher::SetNewFileLimits(FileCipher::MinOpsLimit(), FileCipher::MinMemLimit());
        SaveEncrypted("numbers_encrypted_le.sys", Numbers(little, kCompressBytecode));
        SaveEncrypted("strings_encrypted_be.sys", Strings(big, kCompressNone));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_corpus: %s\n", e.what());
        return 1;
    }
    return 0;
}
