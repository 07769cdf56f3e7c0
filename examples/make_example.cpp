// Produces the bundled example system file, examples/survey.sys: a small
// household survey with numeric and string variables (one of them a very long
// string), variable and value labels, missing values, a weight, a document and
// a dataset attribute, its cases bytecode-compressed (code 1).
//
//   make_example OUTFILE         writes the file
//   make_example --check FILE    exit 0 when FILE is what this program writes
//
// The file is assembled record by record with the tests' byte builder. Only
// the creation date and time of the header (offsets 92 to 108) depend on the
// clock; --check ignores them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "Attributes.h"
#include "sysfilebuilder.h"

namespace {

using namespace SysFileLayout;

constexpr int kCommentWidth = 300;  // the very long string
// Its segments in the stored dictionary: one full 255-byte segment and the rest.
constexpr int kCommentRestWidth = kCommentWidth - kSegmentWidthDivisor * FullSegments(kCommentWidth);

uint32_t Numeric(int width, int decimals) { return EncodeFormatWord(5, width, decimals); }

struct Respondent {
    double id, region, age, income, satisfaction;
    const char* town;
    const char* comment;
    double weight;
};

const double kSysmis = VESK_SYSMIS;

const Respondent kRespondents[] = {
    {1, 1, 34, 2450.5, 4, "Brackwater", "Happy with the new bus line.", 1.2},
    {2, 2, 58, 3100, 5, "Østby", "", 0.8},
    {3, 3, 99, -1, 3, "Lindfield", "Prefers not to say, \"private matter\".", 1},
    {4, 4, 27, 1875.25, 2, "Harrowgate", "Rent too high, commute too long", 1.1},
    {5, 1, 45, kSysmis, kSysmis, "n/a", "", 0.9},
    {6, 2, 63, 4020, 4,  "Marlow Cross",
     "Lived here all my life. The valley has changed since the mill closed: fewer jobs, more "
     "commuters, the school merged with the one in Brackwater and the market moved to the square by "
     "the station. Still, the library is better than ever and the new river path is lovely in spring.",
     1.05},
    {7, 3, 19, 650, 3, "Lindfield", "Student, part-time job.\nWould like more evening buses.", 1.3},
    {8, 4, 71, 2280.75, 5, "Harrowgate", "", 0.7},
};

// The header's creation date and time for now.
void Stamp(SysFileBuilder::HeaderSpec& header) {
    char date[kDateSize], time[kTimeSize];
    FormatCreationDateTime(std::time(nullptr), date, time);
    header.date.assign(date, kDateSize);
    header.time.assign(time, kTimeSize);
}

std::vector<uint8_t> Survey() {
    SysFileBuilder b(ByteOrder::Little());
    SysFileBuilder::HeaderSpec header;
    header.compression = kCompressBytecode;
    header.label = "Vesk Valley household survey, spring wave";
    Stamp(header);
    // The weight is the last variable; its cell follows id..town (7 cells), the
    // comment's 38 stored cells: 1 + 1 + 1 + 1 + 1 + 2 + 32 + 6 + 1.
    header.weightIndex = 46;
    b.Header(header);

    b.Variable({.name = "ID", .label = "Respondent number", .print = Numeric(5, 0), .write = Numeric(5, 0)})
        .Variable({.name = "REGION", .label = "Region of residence", .print = Numeric(1, 0), .write = Numeric(1, 0)})
        .Variable({.name = "AGE", .label = "Age in years", .missing = {98, 99},
                   .print = Numeric(3, 0), .write = Numeric(3, 0)})
        .Variable({.name = "INCOME", .label = "Monthly household income", .missing = {-99, -1, 999999},
                   .missingCount = kMissingRangeAndValue, .print = Numeric(9, 2), .write = Numeric(9, 2)})
        .Variable({.name = "SATISFAC", .label = "Satisfaction with the neighbourhood",
                   .print = Numeric(1, 0), .write = Numeric(1, 0)})
        .Variable({.name = "TOWN", .type = 12, .label = "Home town", .missingText = {"n/a"}})
        .Variable({.name = "COMMENT", .type = kMaxRecordStringWidth, .label = "Open comment"})
        .Variable({.name = "COMME0", .type = kCommentRestWidth})
        .Variable({.name = "WEIGHT", .label = "Design weight", .print = Numeric(6, 3), .write = Numeric(6, 3)});
    if (b.PositionOf("WEIGHT") != header.weightIndex) throw std::logic_error("weight position");

    b.ValueLabels({{1, "North"}, {2, "South"}, {3, "East"}, {4, "West"}}, {b.PositionOf("REGION")})
        .ValueLabels({{98, "Refused"}, {99, "Don't know"}}, {b.PositionOf("AGE")})
        .ValueLabels({{1, "Very dissatisfied"}, {2, "Dissatisfied"}, {3, "Neither"}, {4, "Satisfied"},
                      {5, "Very satisfied"}},
                     {b.PositionOf("SATISFAC")})
        .StringValueLabels({{"n/a", "Not asked"}}, {b.PositionOf("TOWN")});
    b.Documents({"Spring wave of the household survey, face-to-face interviews.",
                 "Income is the monthly net household income in local currency.",
                 "   (Entered 14-Mar-2024)"});

    // Machine integers and floating-point values, then display properties
    // (measure, width, alignment per stored variable).
    b.ExtensionInts(kExtMachineIntegers, {23, 0, 0, 720, 1, 1, 2, 65001});
    b.ExtensionDoubles(kExtMachineFloats, {VESK_SYSMIS, std::numeric_limits<double>::max(),
                                           std::nextafter(VESK_SYSMIS, 0.0)});
    b.ExtensionInts(11, {3, 8, 1,  1, 8, 1,  3, 8, 1,  3, 10, 1,  2, 8, 1,
                         1, 12, 0,  1, 50, 0,  1, 48, 0,  3, 8, 1});
    b.ExtensionText(kExtLongNames, "ID=id\tREGION=region\tAGE=age\tINCOME=income\tSATISFAC=Satisfaction\t"
                                   "TOWN=town\tCOMMENT=comment\tWEIGHT=weight");
    b.ExtensionText(kExtVeryLongStrings, std::string("COMMENT=300") + '\0' + '\t');
    const int64_t counts[] = {1, int64_t(std::size(kRespondents))};
    std::vector<uint8_t> countBytes(16);
    for (int i = 0; i < 2; ++i) b.Order().PutI64(countBytes.data() + 8 * i, counts[i]);
    b.Extension(kExtCaseCount, 8, 2, countBytes.data());
    DatasourceAttributes attributes;
    attributes.Define("Fieldwork", {"March 2024", "April 2024"});
    b.ExtensionText(17, attributes.MakeString());
    b.ExtensionText(20, "UTF-8");
    b.End();

    for (const Respondent& r : kRespondents) {
        const std::string comment(r.comment);
        if (comment.size() > size_t(kCommentWidth)) throw std::logic_error("comment wider than its variable");
        // The first segment carries 255 bytes of text and a space, the rest what is left.
        const std::string head = comment.substr(0, std::min<size_t>(comment.size(), kSegmentTextBytes));
        const std::string tail = comment.size() > kSegmentTextBytes ? comment.substr(kSegmentTextBytes) : "";
        b.Row(Cells()
                  .Num(r.id).Num(r.region).Num(r.age).Num(r.income).Num(r.satisfaction)
                  .Str(r.town, 12)
                  .Str(head, kSegmentBytes)
                  .Str(tail, kCommentRestWidth)
                  .Num(r.weight));
    }
    return b.Bytes();
}

std::vector<uint8_t> ReadFile(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error(std::string("cannot read ") + path);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Same bytes, the creation date and time left out.
bool SameFile(std::vector<uint8_t> a, std::vector<uint8_t> b) {
    if (a.size() != b.size() || a.size() < kHeaderSize) return false;
    const size_t clockBytes = kOffTime + kTimeSize - kOffDate;
    std::memset(a.data() + kOffDate, 0, clockBytes);
    std::memset(b.data() + kOffDate, 0, clockBytes);
    return a == b;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
            if (SameFile(Survey(), ReadFile(argv[2]))) return 0;
            std::fprintf(stderr, "make_example: %s differs from the generated file\n", argv[2]);
            return 1;
        }
        if (argc != 2 || argv[1][0] == '-') {
            std::fprintf(stderr, "usage: make_example OUTFILE | make_example --check FILE\n");
            return 2;
        }
        const std::vector<uint8_t> bytes = Survey();
        std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        out.close();
        if (!out) throw std::runtime_error(std::string("cannot write ") + argv[1]);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_example: %s\n", e.what());
        return 1;
    }
}
