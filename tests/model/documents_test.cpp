#include "DSDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "datasrc.h"
#include "memorydatastore.h"
#include "vesk_assert.h"

namespace {

std::string Line(const std::string& text) { return text + std::string(80 - text.size(), ' '); }

DSDocument Doc(std::vector<std::string> lines, int day, int month, int year) {
    DSDocument d;
    for (const std::string& l : lines) d.AddLine(l);
    d.Day(day), d.Month(month), d.Year(year);
    AddDateLine(d);
    return d;
}

// Each document as its date and its lines.
using Summary = std::vector<std::tuple<int, int, int, std::vector<std::string>>>;
Summary Summarise(const std::vector<DSDocument>& docs) {
    Summary out;
    for (const DSDocument& d : docs) {
        std::vector<std::string> lines;
        for (int k = 0; k < d.Size(); ++k) lines.push_back(d[k]);
        out.emplace_back(d.Day(), d.Month(), d.Year(), lines);
    }
    return out;
}

std::string Block(const VESK_DataSource& source) { return VESK_DataSource::Extension(source, 0).Elements(); }

}  // namespace

TEST(DocumentsTest, ValueRulesOrderAndCopyOnWrite) {
    DSDocument d;
    EXPECT_EQ(Summarise({d}), (Summary{{1, 1, 0, {}}}));
    // Two-digit years are windowed.
    for (auto [given, year] : {std::pair{63, 2063}, {64, 1964}, {100, 100}}) EXPECT_EQ((d.Year(given), d.Year()), year);
    EXPECT_THROW(d.Month(13), VESK_AssertFailed);
    EXPECT_THROW(d.Day(32), VESK_AssertFailed);
    EXPECT_THROW(d.AddLine(std::string(81, 'x')), VESK_AssertFailed);
    d.AddLine(std::string(80, 'x'));
    EXPECT_THROW(d[1], VESK_AssertFailed);

    DSDocument copy = d;
    copy.AddLine("more");
    copy[0] = "changed";
    copy.Day(9);
    EXPECT_EQ(Summarise({d, copy}), (Summary{{1, 1, 100, {std::string(80, 'x')}}, {9, 1, 100, {"changed", "more"}}}));
    EXPECT_FALSE(copy == d);

    // Order: date first, then lines; a prefix is smaller. DeDup sorts and drops equal neighbours.
    DSDocument a = Doc({"A"}, 5, 3, 2014), b = Doc({"A"}, 6, 3, 2014), shorter = Doc({}, 1, 1, 2000), longer;
    longer = shorter;
    longer.AddLine("B");
    EXPECT_TRUE(a < b && shorter < longer && !(longer < shorter));
    std::vector<DSDocument> docs = {b, a, Doc({"A"}, 6, 3, 2014)};
    DeDup(docs);
    EXPECT_EQ(Summarise(docs), Summarise({a, b}));
}

TEST(DocumentsTest, BlockRoundTrip) {
    MemoryDataStore source;
    DSDocument one = Doc({"A", "B"}, 5, 3, 2014), two = Doc({"second"}, 31, 12, 1999);
    EXPECT_EQ(one[2], "   (Entered 05-Mar-2014)");
    SaveDocuments({one}, source);
    EXPECT_EQ(VESK_DataSource::Extension(source, 0).ElementSize(), 1);
    EXPECT_EQ(Block(source), Line("A") + Line("B") + Line("   (Entered 05-Mar-2014)"));
    EXPECT_EQ(Summarise(GetDocuments(source)),
              (Summary{{5, 3, 2014, {Line("A"), Line("B"), Line("   (Entered 05-Mar-2014)")}}}));

    // Two documents: one blank separator between them, none read back.
    SaveDocuments({one, two}, source);
    EXPECT_EQ(Block(source).substr(3 * 80), std::string(80, ' ') + Line("second") + Line("   (Entered 31-Dec-1999)"));
    const Summary back = Summarise(GetDocuments(source));
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1], (Summary::value_type{31, 12, 1999, {Line("second"), Line("   (Entered 31-Dec-1999)")}}));

    // Saving nothing removes the block.
    SaveDocuments({}, source);
    EXPECT_TRUE(!source.HasExtension(0) && GetDocuments(source).empty());
}

TEST(DocumentsTest, ReadingLooseDateLines) {
    MemoryDataStore source;
    auto read = [&](const std::string& block, int elementSize = 1) {
        source.SetExtension(0, elementSize, long(block.size()) / elementSize, block.data());
        return Summarise(GetDocuments(source));
    };
    // Blanks for hyphens, an upper-case month and a two-digit year; element sizes dividing 80.
    EXPECT_EQ(read(Line("note") + Line("   (Entered 07 DEC 99)")),
              (Summary{{7, 12, 1999, {Line("note"), Line("   (Entered 07 DEC 99)")}}}));
    EXPECT_EQ(read(Line("x") + Line("   (Entered 01-Feb-2003)"), 16),
              (Summary{{1, 2, 2003, {Line("x"), Line("   (Entered 01-Feb-2003)")}}}));
    // A date the reader cannot take and trailing lines without a date line stay as documents without a date.
    EXPECT_EQ(read(Line("a") + Line("   (Entered 99-Foo-20)") + Line("") + Line("tail")),
              (Summary{{1, 1, 0, {Line("a"), Line("   (Entered 99-Foo-20)")}}, {1, 1, 0, {Line("tail")}}}));
    EXPECT_EQ(std::get<2>(read(Line("a") + Line("   (Entered 1-2)"))[0]), 0);

    // A block that is not whole lines is a caller's mistake.
    EXPECT_THROW(read(std::string(81, ' ')), VESK_AssertFailed);
}

TEST(DocumentsTest, CopiesOfASourceKeepTheirOwnDocuments) {
    MemoryDataStore original;
    SaveDocuments({Doc({"original"}, 1, 1, 2001)}, original);
    const Summary before = Summarise(GetDocuments(original));

    // A derived source starts with the same block, shared until written.
    MemoryDataStore derived(&original);
    std::vector<DSDocument> docs = GetDocuments(derived);
    docs.push_back(Doc({"added"}, 2, 2, 2002));
    SaveDocuments(docs, derived);
    EXPECT_TRUE(GetDocuments(derived).size() == 2 && Summarise(GetDocuments(original)) == before);

    // The same through CopyDictionary, changing the original this time.
    MemoryDataStore copy;
    copy.CopyDictionary(original);
    SaveDocuments({Doc({"replaced"}, 3, 3, 2003)}, original);
    EXPECT_TRUE(Summarise(GetDocuments(copy)) == before && GetDocuments(original)[0][0] == Line("replaced"));
}
