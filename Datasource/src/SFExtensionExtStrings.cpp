// Subtype 14: the string variables wider than 255 bytes and their widths, as
// entries SHORT=WIDTH followed by a zero byte and a tab. In the variable
// records such a string is a run of segment variables; reading checks each
// run, notes it for the case rebuilder and merges the run into one variable.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionExtStrings"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "SFExtensionHandlers.h"
#include "textmb.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionExtStrings)

namespace {

using SysFileLayout::FullSegments;
using SysFileLayout::kMaxRecordStringWidth;
using SysFileLayout::kSegmentNameBaseBytes;
using SysFileLayout::kSegmentWidthDivisor;
using SysFileLayout::SegmentCount;

constexpr size_t kNameWindow = 16;    // "=" within this many bytes of the entry
constexpr size_t kWidthWindow = 10;   // the digits' terminator is searched this far
constexpr size_t kMaxWidthDigits = 5;

bool IsEntryEnd(char c) { return c == '\0' || c == '\t'; }

// Whether the variables from column i on form the segments of a string of
// width w: full segments of width 255 whose names begin like the first one,
// then a last segment that holds the rest. Columns before firstFree belong to
// a run already accepted. Widths outside the very long range are refused, as
// is a run that does not fit in the dictionary.
bool SegmentRunMatches(const VESK_DataSource& dict, int i, int w, int firstFree) {
    if (w <= kMaxRecordStringWidth || w > MAX_STRING_TYPE) return false;
    if (i < firstFree) return false;
    const int n = FullSegments(w);
    const int rem = w - n * kSegmentWidthDivisor;
    if (int64_t(i) + SegmentCount(w) > int64_t(dict.ColumnCount())) return false;
    const std::string base = VESKMBLeadingCharacters(dict.GetVariable(i).GetUpperCaseName(), kSegmentNameBaseBytes);
    for (int k = i; k < i + n; ++k) {
        const VESK_Variable& segment = dict.GetVariable(k);
        if (segment.GetType() != kMaxRecordStringWidth) return false;
        if (segment.GetUpperCaseName().compare(0, base.size(), base) != 0) return false;
    }
    if (rem > 0) {
        const int type = dict.GetVariable(i + n).GetType();
        if (type < rem || type > 8 * CellsForType(rem)) return false;
    }
    return true;
}

}  // namespace

// Assigns the short names of the writer's copy (for subtype 13 too), names
// every very long string by its short name and width, then has the writer
// split those strings into segments.
void SFExtensionExtStrings::BuildRecord(const VESK_DataSource&, SystemFileWriterContext* writer,
                                        SystemFileExtensionRecord& rec) {
    if (!writer) return;
    const VESK_DataSource& copy = writer->WriterDictionary();
    std::vector<std::pair<std::string, std::string>> byLong = writer->AssignShortNames();

    std::vector<std::pair<int, int>> strings;
    const int nVars = int(copy.ColumnCount());
    for (int v = 0; v < nVars; ++v) {
        const int type = copy.GetVariable(v).GetType();
        if (type > kMaxRecordStringWidth) strings.emplace_back(v, type);
    }
    if (strings.empty()) return;

    std::sort(byLong.begin(), byLong.end());
    std::string text;
    for (const auto& [index, width] : strings) {
        const std::string& name = copy.GetVariable(index).GetName();
        auto it = std::lower_bound(byLong.begin(), byLong.end(), name,
                                   [](const std::pair<std::string, std::string>& p, const std::string& n) {
                                       return p.first < n;
                                   });
        text += it != byLong.end() && it->first == name ? it->second : name;
        text += '=';
        text += std::to_string(width);
        text += '\0';
        text += '\t';
    }
    rec.SetText(text);
    writer->SplitVeryLongStrings(strings);
}

void SFExtensionExtStrings::ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                                        const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    // The strings of an earlier record are merged already, so the dictionary no
    // longer shows the stored layout; a repeated record is not applied.
    if (!options._veryLongStrings.empty()) return;
    options._cellsPerCase = target.GetObsAreaSize();

    std::vector<std::pair<std::string, std::string>> byShort = options.LongNames();
    std::sort(byShort.begin(), byShort.end());

    const std::string text = rec.Text();
    const char* content = text.data();
    const char* const end = content + text.size();
    std::vector<SystemFileVeryLongString> kept;
    int firstFree = 0;
    while (content < end) {
        const char* const nameLimit = content + std::min<size_t>(kNameWindow, size_t(end - content));
        const char* const equal = std::find(content, nameLimit, '=');
        SF_EXT_CHECK(equal != nameLimit, "equal != content+16");
        const std::string name(content, equal);
        auto rename = std::lower_bound(byShort.begin(), byShort.end(), name,
                                       [](const std::pair<std::string, std::string>& p, const std::string& n) {
                                           return p.first < n;
                                       });
        SF_EXT_CHECK(rename != byShort.end() && name == rename->first, "name == rename->first");
        const int varIndex = target.FindVarIndex(rename->second.c_str());
        SF_EXT_CHECK(varIndex >= 0, "varIndex >= 0");

        const char* const lengthString = equal + 1;
        const char* const widthLimit = lengthString + std::min<size_t>(kWidthWindow, size_t(end - lengthString));
        const char* const endLen = std::find_if(lengthString, widthLimit, IsEntryEnd);
        SF_EXT_CHECK(size_t(endLen - lengthString) <= kMaxWidthDigits, "endLen < lengthString+6");
        const char* const endDigits =
            std::find_if(lengthString, endLen, [](char c) { return c < '0' || c > '9'; });
        SF_EXT_CHECK(endLen == endDigits, "endLen == endDigits");
        int width = 0;
        for (const char* d = lengthString; d < endDigits; ++d) width = width * 10 + (*d - '0');

        if (SegmentRunMatches(target, varIndex, width, firstFree)) {
            const int segments = SegmentCount(width);
            for (int k = varIndex + 1; k < varIndex + segments; ++k) target.GetVariable(k).SetName("");
            kept.push_back({varIndex, width, target.ObsIndex(varIndex)});
            firstFree = varIndex + segments;
        }

        content = endDigits;
        while (content < end && IsEntryEnd(*content)) ++content;
        SF_EXT_CHECK(content - endDigits < 3, "content < endDigits+3");
    }

    // The case rebuilder works from the stored layout noted here.
    options._veryLongStrings = kept;

    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        VESK_Variable merged = target.GetVariable(it->varIndex);
        target.DeleteVariables(it->varIndex, it->varIndex + SegmentCount(it->width) - 1);
        merged.SetType(it->width);
        merged.SetFormat(VESK_Variable::eFmtString, it->width, 0);
        target.InsertVariable(it->varIndex, merged);
    }
}
