// Opening a file whose encoding is learned from a walk over its records
// before the one read of its dictionary.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SystemFileDataSource.h"
#include "UTF8DataSource.h"
#include "cryptfiles.h"
#include "errorof.h"
#include "sysfilebuilder.h"
#include "tempdir.h"

namespace {

const auto* const kCheapKeys = ::testing::AddGlobalTestEnvironment(new CheapKeys);

class EncodingScanTest : public ::testing::Test {
protected:
    void SetUp() override {
        fMode = qUTF8mode();
        fCodePage = VESKMBCurrentConverterName_A();
        SetUTF8mode(1);
    }
    void TearDown() override {
        VESKMBConverterSet_A(fCodePage.c_str());
        SetUTF8mode(fMode);
    }
    std::string File(const std::string& name) const { return fDir.File(name); }

private:
    int fMode = 0;
    std::string fCodePage;
    TempDir fDir{"scan"};
};

// The machine integer record with the character code in its last unit.
std::vector<int32_t> MachineIntegers(int32_t characterCode) { return {21, 0, 0, -1, 1, 1, 2, characterCode}; }

// A dictionary with a record of every kind, variables with labels, missing
// values and continuations, then the records given by `naming`. The second
// value label is in windows-1252.
std::vector<uint8_t> Busy(ByteOrder order, const std::function<void(SysFileBuilder&)>& naming,
                          int32_t labelPosition = 1) {
    SysFileBuilder b(order);
    b.Header({.label = "scan"});
    b.Variable({.name = "AGE", .label = "ag", .missing = {1, 2, 3}});
    b.Variable({.name = "R", .label = "seven c", .missing = {1, 9}, .missingCount = -2});
    b.Variable({.name = "S", .type = 20, .label = ""});
    b.Variable({.name = "T", .type = 8, .missingText = {"a", "b", "c"}});
    b.ValueLabels({{1, "one"}, {2, std::string(20, '\xE9')}}, {labelPosition});
    b.Documents({"first", "second"});
    b.ExtensionText(17, "Owner('me'\n)");
    naming(b);
    b.ExtensionText(30, "kept whole");
    b.End().Row(Cells().Num(1).Num(2).Str("x", 20).Str("y", 8));
    return b.Bytes();
}

using Naming = std::pair<const char*, std::function<void(SysFileBuilder&)>>;

const std::vector<Naming>& Namings() {
    static const std::vector<Naming> namings = {
        {"code only", [](SysFileBuilder& b) { b.ExtensionInts(3, MachineIntegers(1252)); }},
        {"record after code",
         [](SysFileBuilder& b) { b.ExtensionInts(3, MachineIntegers(1250)).ExtensionText(20, "windows-1252"); }},
        {"record before code",
         [](SysFileBuilder& b) { b.ExtensionText(20, "windows-1252").ExtensionInts(3, MachineIntegers(1250)); }},
        {"last record wins",
         [](SysFileBuilder& b) { b.ExtensionText(20, "ISO-8859-2").ExtensionText(20, "windows-1252"); }},
        {"UTF-8 by code", [](SysFileBuilder& b) { b.ExtensionInts(3, MachineIntegers(65001)); }},
        {"nothing", [](SysFileBuilder&) {}},
    };
    return namings;
}

std::string Scan(const std::string& path, const std::string& password = "") {
    std::string encoding = "(none)";
    ExtNameStr pw;
    if (!password.empty()) pw.SetU8(password);
    if (!SystemFileDataSource::ScanEncoding(ExtNameStr(path.c_str()), pw, false, encoding)) return "(failed)";
    return encoding;
}

TEST_F(EncodingScanTest, ScanFindsWhatTheReaderFinds) {
    for (const ByteOrder order : {ByteOrder::Native(), ByteOrder(true)}) {
        for (const auto& [what, naming] : Namings()) {
            const std::vector<uint8_t> bytes = Busy(order, naming);
            Spit(File("plain.sys"), bytes);
            WriteEncrypted(File("sealed.sys"), "pw", bytes);
            const std::string read = SystemFileDataSource(File("plain.sys"), "", false).CharacterEncoding();
            EXPECT_EQ(Scan(File("plain.sys")), read) << what;
            EXPECT_EQ(Scan(File("sealed.sys"), "pw"), read) << what;
            // The encrypted file's clear stream is the only way in.
            EXPECT_EQ(Scan(File("sealed.sys")), "(failed)") << what;
            EXPECT_EQ(Scan(File("sealed.sys"), "wrong"), "(failed)") << what;
        }
    }
    const std::vector<uint8_t> bytes = Busy(ByteOrder::Native(), Namings()[0].second);
    for (size_t cut : {size_t(3), size_t(100), bytes.size() / 2}) {
        Spit(File("cut.sys"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
        EXPECT_EQ(Scan(File("cut.sys")), "(failed)") << cut;
    }
    EXPECT_EQ(Scan(File("missing.sys")), "(failed)");
}

TEST_F(EncodingScanTest, CodePageFilesOpenInUTF8WithAndWithoutAnEncodingRecord) {
    for (const size_t k : {size_t(0), size_t(1)}) {
        const std::vector<uint8_t> bytes = Busy(ByteOrder::Native(), Namings()[k].second);
        Spit(File("plain.sys"), bytes);
        WriteEncrypted(File("sealed.sys"), "pw", bytes);
        for (const auto& [path, password] : {std::pair{File("plain.sys"), ""}, std::pair{File("sealed.sys"), "pw"}}) {
            std::unique_ptr<VESK_DataSource, void (*)(VESK_DataSource*)> source(
                SystemFileDataSource::GetSystemFile(path, password, false, nullptr),
                [](VESK_DataSource* s) { DeleteLine(s); });
            auto* u8 = dynamic_cast<UTF8DataSource*>(source.get());
            ASSERT_NE(u8, nullptr) << Namings()[k].first << " " << password;
            EXPECT_EQ(u8->CharacterEncoding(), "windows-1252");
            EXPECT_FALSE(u8->IsDirty());
            EXPECT_EQ(std::string(VESK_ValueLabelMap(u8->GetVariable(0).GetValueLabels()).GetLabel(2.0)),
                      "éééééééééééééééééééé");
            EXPECT_EQ(u8->GetVariable(2).GetType(), 60);  // three bytes a character in UTF-8
        }
    }
}

TEST_F(EncodingScanTest, DamageTheScanPassesRaisesTheReadersError) {
    // The value labels name a cell that starts no variable: the walk passes,
    // the read does not.
    for (const size_t k : {size_t(0), size_t(5)}) {
        Spit(File("bad.sys"), Busy(ByteOrder::Native(), Namings()[k].second, 4));
        ASSERT_NE(Scan(File("bad.sys")), "(failed)");
        const int direct = ErrorOf([&] { SystemFileDataSource(File("bad.sys"), "", false); });
        EXPECT_EQ(direct, 1204);
        EXPECT_EQ(ErrorOf([&] { DeleteLine(SystemFileDataSource::GetSystemFile(File("bad.sys"), "", false, nullptr)); }),
                  direct);
    }
}

}  // namespace
