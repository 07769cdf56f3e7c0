// Re-encoding sources: code-page files read as UTF-8 and the other way round.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CodePageDataSource.h"
#include "SystemFileDataSource.h"
#include "UTF8DataSource.h"
#include "errortext.h"
#include "memorydatastore.h"
#include "sysfilebuilder.h"
#include "tempdir.h"

namespace {

struct Messages : ErrorMonitor {
    void Report(const char* message, int) override { texts.push_back(message); }
    std::vector<std::string> texts;
};

// Each test may switch the process's UTF-8 mode and code page; both come back.
class ReencodingSourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fMode = qUTF8mode();
        fCodePage = VESKMBCurrentConverterName_A();
    }
    void TearDown() override {
        VESKMBConverterSet_A(fCodePage.c_str());
        SetUTF8mode(fMode);
    }
    std::string File(const std::string& name) const { return fDir.File(name); }
    // Opens through GetSystemFile; the chain is deleted with the returned handle.
    std::shared_ptr<VESK_DataSource> Open(const std::string& path, ErrorMonitor* monitor) {
        return std::shared_ptr<VESK_DataSource>(SystemFileDataSource::GetSystemFile(path, "", false, monitor),
                                                [](VESK_DataSource* s) { DeleteLine(s); });
    }

private:
    int fMode = 0;
    std::string fCodePage;
    TempDir fDir{"reencode"};
};

// The text in the code page (the test's literals are UTF-8).
std::string In(const char* encoding, const std::string& u8) {
    VESKMBConverter* c = VESKMBConverterNew_A(encoding);
    std::string out;
    EXPECT_EQ(VESKMBU8ToCodePage(c, out, u8), 0);
    VESKMBConverterDelete_A(c);
    return out;
}

std::string Cell(const VESK_InputCaseIterator& it, int column) {
    const VESK_DataSource& s = it.GetDataSource();
    return std::string(it.GetStringValue(column), size_t(s.ObsIndex(column + 1) - s.ObsIndex(column)) * 8);
}

std::string Padded(const std::string& text, size_t bytes) { return text + std::string(bytes - text.size(), ' '); }

// Every character of the bytes is whole in the process's current encoding.
bool DecodesCleanly(const std::string& bytes) {
    for (size_t p = 0; p < bytes.size();) {
        const int n = VESKMBmblen_A(bytes.data() + p, bytes.size() - p);
        if (n < 1) return false;
        p += size_t(n);
    }
    return true;
}

TEST_F(ReencodingSourceTest, Windows1252FileReadsAsUTF8) {
    const char* cp = "windows-1252";
    SysFileBuilder b;
    b.Header({.label = In(cp, "Étude")}).Variable({.name = In(cp, "ÂGE"), .label = In(cp, "Âge en années")});
    b.Variable({.name = "NOTE"}).Variable({.name = "VILLE", .type = 10, .missingText = {In(cp, "Sète"), In(cp, "ééééé")}});
    b.Variable({.name = "CODE", .type = 3}).Variable({.name = "N"});
    b.ValueLabels({{1, In(cp, "très bien")}, {2, "assez"}}, {b.PositionOf(In(cp, "ÂGE")), b.PositionOf("NOTE")})
        .StringValueLabels({{In(cp, "été"), "saison chaude"}}, {b.PositionOf("CODE")})
        .ExtensionText(5, In(cp, "Café= n\n")).ExtensionText(7, In(cp, "$préf=C 7 Préféré n note\n"))
        .ExtensionText(17, In(cp, "Auteur('Renée'\n)")).ExtensionText(18, In(cp, "N:Note('élevé'\n)"))
        .ExtensionText(20, cp).End()
        .Row(Cells().Num(31).Num(1).Str(In(cp, "Sète"), 10).Str("abc", 3).Num(5))
        .Row(Cells().Sysmis().Num(2).Str(In(cp, "€€€€€€€€€€"), 10).Str(In(cp, "été"), 3).Num(7));
    b.WriteTo(File("fr.sys"));

    SetUTF8mode(1);
    Messages monitor;
    auto source = Open(File("fr.sys"), &monitor);
    auto* u8 = dynamic_cast<UTF8DataSource*>(source.get());
    ASSERT_NE(u8, nullptr);
    EXPECT_FALSE(!monitor.texts.empty() || u8->LostText() || u8->IsDirty() || u8->CharacterEncoding() != cp);

    // Names were lower-cased in the file's code page before conversion.
    ASSERT_EQ(u8->ColumnCount(), 5u);
    EXPECT_EQ(u8->GetVariable(0).GetName() + " " + u8->GetVariable(2).GetName(), "âge ville");
    EXPECT_EQ(std::string(u8->GetLabel()) + "|" + u8->GetVariable(0).GetLabel(), "Étude|Âge en années");
    using Texts = std::vector<std::string>;
    EXPECT_EQ(std::make_pair(u8->GetAttributes().Values("Auteur"), u8->GetVariable(4).GetAttributes().Values("Note")),
              std::make_pair(Texts{"Renée"}, Texts{"élevé"}));
    ASSERT_EQ(u8->GetMRSets().size() + u8->GetVariableSets().size(), 2u);
    EXPECT_EQ(u8->GetMRSets()[0].Name() + " " + u8->GetMRSets()[0].Label() + " " + u8->GetVariableSets()[0].Name(),
              "$préf Préféré Café");

    // The shared numeric map is converted once and still shared.
    const VESK_VLImplPointer& ageLabels = u8->GetVariable(0).GetValueLabels();
    EXPECT_EQ(ageLabels.get(), u8->GetVariable(1).GetValueLabels().get());
    EXPECT_STREQ(VESK_ValueLabelMap(ageLabels).GetLabel(1.0), "très bien");

    // Strings widen threefold; values and missing values follow in UTF-8.
    VESK_ValueLabelMap codeLabels(u8->GetVariable(3).GetValueLabels());
    EXPECT_EQ(std::make_pair(u8->GetVariable(2).GetType(), codeLabels.Type()), std::make_pair(30, 9));
    EXPECT_STREQ(codeLabels.GetLabel(std::string("été")), "saison chaude");
    const OBS *m1, *m2, *m3;  // "ééééé" needs 10 bytes and is dropped
    ASSERT_EQ(u8->GetVariable(2).GetMissingValues(m1, m2, m3), 1);
    EXPECT_EQ(std::string(m1->c, 8), Padded("Sète", 8));

    std::unique_ptr<VESK_InputCaseIterator> it(u8->MakeIterator(nullptr));
    std::vector<std::string> cells;
    while (it->NextCase())
        cells.insert(cells.end(), {std::to_string(it->GetNumericValue(4)), Cell(*it, 2), Cell(*it, 3)});
    EXPECT_EQ(cells, (std::vector<std::string>{"5.000000", Padded("Sète", 32), Padded("abc", 16), "7.000000",
                                               Padded("€€€€€€€€€€", 32), Padded("été", 16)}));
}

TEST_F(ReencodingSourceTest, UTF8FileInCodePageProcessReportsLostText) {
    SysFileBuilder b;
    b.Header({.label = "日本 data"}).Variable({.name = "PRICE", .label = "Prix en €"}).Variable({.name = "TXT", .type = 8});
    b.ValueLabels({{1, "ça va"}, {2, "日本"}}, {b.PositionOf("PRICE")}).ExtensionText(20, "UTF-8").End();
    b.Row(Cells().Num(1).Str("naïve", 8)).Row(Cells().Num(2).Str("日本", 8));
    b.WriteTo(File("u8.sys"));

    SetUTF8mode(0);
    ASSERT_TRUE(VESKMBConverterSet_A("windows-1252"));
    Messages monitor;
    auto source = Open(File("u8.sys"), &monitor);
    auto* cp = dynamic_cast<CodePageDataSource*>(source.get());
    ASSERT_TRUE(cp && monitor.texts.size() == 1);
    EXPECT_TRUE(cp->LostText() && monitor.texts[0].find("[1711]") != std::string::npos &&
                monitor.texts[0].find("windows-1252") != std::string::npos) << monitor.texts[0];
    EXPECT_EQ(std::string(cp->GetLabel()) + "|" + cp->GetVariable(0).GetLabel(), "?? data|Prix en \x80");
    EXPECT_STREQ(VESK_ValueLabelMap(cp->GetVariable(0).GetValueLabels()).GetLabel(1.0), "\xE7" "a va");
    EXPECT_EQ(cp->GetVariable(1).GetType(), 8);  // strings are not narrowed
    std::unique_ptr<VESK_InputCaseIterator> it(cp->MakeIterator(nullptr));
    std::vector<std::string> cells;
    while (it->NextCase()) cells.push_back(Cell(*it, 1));
    EXPECT_EQ(cells, (std::vector<std::string>{Padded("na\xEFve", 8), Padded("??", 8)}));

    // Made for saving, the loss is the other warning; without a monitor, none.
    Messages saving;
    CodePageDataSource forSave(*cp->GetParentSource(), "windows-1252", &saving, true);
    EXPECT_TRUE(saving.texts.size() == 1 && saving.texts[0].find("[1712]") != std::string::npos);
    CodePageDataSource quiet(*cp->GetParentSource(), "windows-1252", nullptr, false);
    EXPECT_TRUE(quiet.LostText());
}

TEST_F(ReencodingSourceTest, OtherMismatchesKeepTheReader) {
    // Neither side is UTF-8, or the file names an encoding nothing converts:
    // the reader itself, with warning 1721 and no error.
    for (const char* encoding : {"windows-1252", "no-such-encoding"}) {
        SysFileBuilder b;
        b.Variable({.name = "A"}).ExtensionText(20, encoding).End().Row(Cells().Num(1));
        b.WriteTo(File("other.sys"));
        SetUTF8mode(std::string(encoding) == "windows-1252" ? 0 : 1);
        ASSERT_TRUE(VESKMBConverterSet_A("Shift_JIS"));
        Messages monitor;
        auto source = Open(File("other.sys"), &monitor);
        EXPECT_TRUE(dynamic_cast<SystemFileDataSource*>(source.get()) && !source->IsDirty()) << encoding;
        EXPECT_TRUE(monitor.texts.size() == 1 && monitor.texts[0].find("[1721]") != std::string::npos) << encoding;
    }
}

TEST_F(ReencodingSourceTest, MultibyteTextCutAtTheWidthNeverSplits) {
    // Strings holding the text cut at every width: no cell read back ends in a split character.
    auto readCuts = [&](const std::string& text, const char* fileEncoding, bool toUTF8) {
        SysFileBuilder b;
        Cells row;
        for (int w = 1; w <= int(text.size()); ++w) {
            b.Variable({.name = "S" + std::to_string(w), .type = w});
            row.Str(text.substr(0, size_t(w)), w);
        }
        b.ExtensionText(20, fileEncoding).End().Row(row);
        b.WriteTo(File("mb.sys"));
        auto source = Open(File("mb.sys"), nullptr);
        EXPECT_TRUE(toUTF8 ? dynamic_cast<UTF8DataSource*>(source.get()) != nullptr
                           : dynamic_cast<CodePageDataSource*>(source.get()) != nullptr);
        std::unique_ptr<VESK_InputCaseIterator> it(source->MakeIterator(nullptr));
        std::string cell;
        for (int w = 1; w <= int(text.size()) && (w > 1 || it->NextCase()); ++w)
            EXPECT_TRUE(DecodesCleanly(cell = Cell(*it, w - 1))) << w;
        return cell;
    };
    for (const char* encoding : {"Shift_JIS", "GBK"}) {
        SCOPED_TRACE(encoding);
        const std::string u8 = "日本語x", native = In(encoding, u8);  // 10 bytes in UTF-8, 7 in the code page
        SetUTF8mode(1);
        EXPECT_EQ(readCuts(native, encoding, true), Padded(u8, 24));
        SetUTF8mode(0);
        ASSERT_TRUE(VESKMBConverterSet_A(encoding));
        EXPECT_EQ(readCuts(u8, "UTF-8", false), Padded(native, 16));
        VESKMBConverterSet_A("windows-1252");
    }
}

TEST_F(ReencodingSourceTest, ColumnPlanWidthsAndPositioning) {
    MemoryDataStore store;
    for (int type : {0, 0, 0, 10, 0, 11000}) store.MakeVariable(type).SetName(("v" + std::to_string(store.ColumnCount())).c_str());
    std::vector<OBS> row(store.GetObsAreaSize());
    store.InitCells(row.data(), 0, store.ColumnCount());
    std::memcpy(row[3].c, "abcdefghij", 10);
    std::memset(row[6].c, '\xB1', 11000);  // half-width katakana: 3 bytes each in UTF-8
    for (int r = 0; r < 2; ++r) store.AddRow(&(row[0].d = r, row[0]));
    store.Close();

    UTF8DataSource u8(store, "Shift_JIS", nullptr);
    const std::vector<CodePageColumn>& plan = u8.ColumnPlan();
    // Start cell, cell count and width of each run: numerics merge, strings stand alone.
    std::vector<std::vector<int>> runs;
    for (const CodePageColumn& c : plan) runs.push_back({c.start, c.cells, c.width});
    EXPECT_EQ(runs, (std::vector<std::vector<int>>{{0, 3, 0}, {3, 4, 10}, {5, 1, 0}, {6, 4096, 11000}}));
    EXPECT_EQ(std::make_pair(u8.GetVariable(5).GetType(), u8.GetObsAreaSize()), std::make_pair(32767, 3u + 4u + 1u + 4096u));

    SetUTF8mode(1);
    std::unique_ptr<VESK_InputCaseIterator> it(u8.MakeIterator(nullptr));
    ASSERT_TRUE(it->IsSeekOK() && it->Seek(1) && it->NextCase());
    EXPECT_TRUE(it->GetNumericValue(0) == 1 && Cell(*it, 3) == Padded("abcdefghij", 32));
    // 10922 whole characters fit in 32767 bytes; the rest is blanks.
    const std::string wide = Cell(*it, 5);
    EXPECT_TRUE(DecodesCleanly(wide) && wide.find(' ') == 32766u && wide.find_first_not_of(' ', 32766) == std::string::npos);
    EXPECT_FALSE(it->NextCase());
}

}  // namespace
