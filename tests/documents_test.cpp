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
    d.Day(day);
    d.Month(month);
    d.Year(year);
    AddDateLine(d);
    return d;
}

using Date = std::tuple<int, int, int>;
Date DateOf(const DSDocument& d) { return {d.Day(), d.Month(), d.Year()}; }

std::string Block(const VESK_DataSource& source) { return VESK_DataSource::Extension(source, 0).Elements(); }

}  // namespace

TEST(DocumentsTest, ValueRulesAndCopyOnWrite) {
    DSDocument d;
    EXPECT_EQ(DateOf(d), Date(1, 1, 0));
    EXPECT_EQ(d.Size(), 0);

    // Two-digit years are windowed.
    for (auto [given, year] : {std::pair{63, 2063}, {64, 1964}, {100, 100}}) {
        d.Year(given);
        EXPECT_EQ(d.Year(), year) << given;
    }
    EXPECT_THROW(d.Month(0), VESK_AssertFailed);
    EXPECT_THROW(d.Month(13), VESK_AssertFailed);
    EXPECT_THROW(d.Day(32), VESK_AssertFailed);
    EXPECT_THROW(d.AddLine(std::string(81, 'x')), VESK_AssertFailed);
    d.AddLine(std::string(80, 'x'));
    EXPECT_THROW(d[1], VESK_AssertFailed);
    EXPECT_THROW(d[-1], VESK_AssertFailed);

    DSDocument copy = d;
    copy.AddLine("more");
    copy[0] = "changed";
    EXPECT_EQ(d.Size(), 1);
    EXPECT_EQ(d[0], std::string(80, 'x'));
    EXPECT_EQ(copy.Size(), 2);
    EXPECT_FALSE(copy == d);
    copy.Day(9);
    EXPECT_EQ(d.Day(), 1);

    // Order: date first, then lines; a prefix is smaller.
    DSDocument a = Doc({"A"}, 5, 3, 2014);
    DSDocument b = Doc({"A"}, 6, 3, 2014);
    EXPECT_TRUE(a < b);
    DSDocument shorter;
    shorter.AddLine("A");
    DSDocument longer = shorter;
    longer.AddLine("B");
    EXPECT_TRUE(shorter < longer);
    EXPECT_FALSE(longer < shorter);

    // DeDup sorts and drops equal neighbours.
    std::vector<DSDocument> docs = {b, a, Doc({"A"}, 6, 3, 2014)};
    DeDup(docs);
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[0].Day(), 5);
    EXPECT_EQ(docs[1].Day(), 6);
}

TEST(DocumentsTest, BlockRoundTrip) {
    MemoryDataStore source;
    DSDocument one = Doc({"A", "B"}, 5, 3, 2014);
    EXPECT_EQ(one[2], "   (Entered 05-Mar-2014)");
    SaveDocuments({one}, source);
    ASSERT_TRUE(source.HasExtension(0));
    EXPECT_EQ(VESK_DataSource::Extension(source, 0).ElementSize(), 1);
    EXPECT_EQ(Block(source), Line("A") + Line("B") + Line("   (Entered 05-Mar-2014)"));

    std::vector<DSDocument> back = GetDocuments(source);
    ASSERT_EQ(back.size(), 1u);
    ASSERT_EQ(back[0].Size(), 3);
    EXPECT_EQ(back[0][0], Line("A"));
    EXPECT_EQ(back[0][2], Line("   (Entered 05-Mar-2014)"));
    EXPECT_EQ(DateOf(back[0]), Date(5, 3, 2014));

    // Two documents: one blank separator between them, none read back.
    DSDocument two = Doc({"second"}, 31, 12, 1999);
    SaveDocuments({one, two}, source);
    EXPECT_EQ(Block(source).size(), 6u * 80);
    EXPECT_EQ(Block(source).substr(3 * 80, 80), std::string(80, ' '));
    back = GetDocuments(source);
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].Size(), 2);
    EXPECT_EQ(back[1][0], Line("second"));
    EXPECT_EQ(DateOf(back[1]), Date(31, 12, 1999));

    // Saving nothing removes the block.
    SaveDocuments({}, source);
    EXPECT_FALSE(source.HasExtension(0));
    EXPECT_TRUE(GetDocuments(source).empty());
}

TEST(DocumentsTest, ReadingLooseDateLines) {
    MemoryDataStore source;
    auto read = [&](const std::string& block) {
        source.SetExtension(0, 1, long(block.size()), block.data());
        return GetDocuments(source);
    };

    // Blanks for hyphens, an upper-case month and a two-digit year.
    std::vector<DSDocument> docs = read(Line("note") + Line("   (Entered 07 DEC 99)"));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(DateOf(docs[0]), Date(7, 12, 1999));

    // Element sizes dividing 80 read the same lines.
    std::string block = Line("x") + Line("   (Entered 01-Feb-2003)");
    source.SetExtension(0, 16, long(block.size() / 16), block.data());
    docs = GetDocuments(source);
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(DateOf(docs[0]), Date(1, 2, 2003));

    // A date the reader cannot take and trailing lines without a date line
    // stay as documents without a date.
    docs = read(Line("a") + Line("   (Entered 99-Foo-20)") + Line("") + Line("tail"));
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_EQ(docs[0].Size(), 2);
    EXPECT_EQ(DateOf(docs[0]), Date(1, 1, 0));
    EXPECT_EQ(docs[1].Size(), 1);
    EXPECT_EQ(docs[1][0], Line("tail"));
    EXPECT_EQ(read(Line("a") + Line("   (Entered 1-2)"))[0].Year(), 0);

    // A block that is not whole lines is a caller's mistake.
    source.SetExtension(0, 1, 81, std::string(81, ' ').data());
    EXPECT_THROW(GetDocuments(source), VESK_AssertFailed);
}

TEST(DocumentsTest, CopiesOfASourceKeepTheirOwnDocuments) {
    MemoryDataStore original;
    SaveDocuments({Doc({"original"}, 1, 1, 2001)}, original);

    // A derived source starts with the same block, shared until written.
    MemoryDataStore derived(&original);
    ASSERT_EQ(GetDocuments(derived).size(), 1u);
    std::vector<DSDocument> docs = GetDocuments(derived);
    docs.push_back(Doc({"added"}, 2, 2, 2002));
    SaveDocuments(docs, derived);
    EXPECT_EQ(GetDocuments(derived).size(), 2u);
    ASSERT_EQ(GetDocuments(original).size(), 1u);
    EXPECT_EQ(GetDocuments(original)[0][0], Line("original"));

    // The same through CopyDictionary, changing the original this time.
    MemoryDataStore copy;
    copy.CopyDictionary(original);
    SaveDocuments({Doc({"replaced"}, 3, 3, 2003)}, original);
    ASSERT_EQ(GetDocuments(copy).size(), 1u);
    EXPECT_EQ(GetDocuments(copy)[0][0], Line("original"));
    EXPECT_EQ(GetDocuments(original)[0][0], Line("replaced"));
}
