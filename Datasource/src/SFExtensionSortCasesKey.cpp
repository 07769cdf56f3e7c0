// Subtype 23: the sort keys and the sparse sort index of a sorted dataset, as
// the text  CELL:SECOND:WIDTH! ... followed by <0x1D>KEYTEXT<0x1F>ROW per index
// entry.
#define VESK_SOURCE_NAME "Datasource/src/SFExtensionSortCasesKey"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "SFExtensionHandlers.h"
#include "SortIndexInfo.h"

VESK_DEFINE_EXTENSION_HANDLER_INSTANCE(SFExtensionSortCasesKey)

namespace {

constexpr char kPairStart = 0x1D;
constexpr char kRowStart = 0x1F;
constexpr uint32_t kMaxKeyWidth = 32767;

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// A decimal integer with optional sign at the front of text; advances text.
// False when there are no digits or the value leaves [lowest, highest].
bool TakeInteger(std::string_view& text, int64_t lowest, int64_t highest, int64_t& value) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    size_t digits = 0;
    int64_t magnitude = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') {
        if (magnitude > (INT64_MAX - 9) / 10) return false;
        magnitude = magnitude * 10 + (text[digits] - '0');
        ++digits;
    }
    if (digits == 0) return false;
    text.remove_prefix(digits);
    value = negative ? -magnitude : magnitude;
    return lowest <= value && value <= highest;
}

// One key written as three numbers separated by ":".
bool ParseKey(std::string_view piece, FileSort::SortKey& key) {
    int64_t cell = 0, second = 0, width = 0;
    if (!TakeInteger(piece, 0, UINT32_MAX, cell)) return false;
    if (piece.empty() || piece[0] != ':') return false;
    piece.remove_prefix(1);
    if (!TakeInteger(piece, INT32_MIN, UINT32_MAX, second)) return false;
    if (piece.empty() || piece[0] != ':') return false;
    piece.remove_prefix(1);
    if (!TakeInteger(piece, 0, UINT32_MAX, width)) return false;
    key.cell = uint32_t(cell);
    key.direction = int32_t(uint32_t(second));
    key.width = uint32_t(width);
    return true;
}

// A row number as a 32-bit conversion reads it: leading white space, a sign
// and digits; no digits give 0, values beyond the 32-bit range saturate.
int64_t ReadRow(std::string_view text) {
    while (!text.empty() && IsSpace(text[0])) text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        value = std::min<int64_t>(value * 10 + (c - '0'), int64_t(INT32_MAX) + 1);
    }
    value = negative ? -value : value;
    return std::max<int64_t>(std::min<int64_t>(value, INT32_MAX), INT32_MIN);
}

}  // namespace

void SFExtensionSortCasesKey::BuildRecord(const VESK_DataSource& source, SystemFileWriterContext*,
                                          SystemFileExtensionRecord& rec) {
    const SortIndexInfo info = source.GetSortIndexInfo();
    if (info.NIndexKeys() == 0) return;
    std::string text;
    for (const FileSort::SortKey& key : info.GetIndexKeys()) {
        text += std::to_string(key.cell) + ':' + std::to_string(key.direction) + ':' + std::to_string(key.width) + '!';
    }
    for (const SortIndexInfo::SortIndexKeyRowPair& pair : info.GetIndex()) {
        text += kPairStart;
        text += pair.GetKeyValue();
        text += kRowStart;
        text += std::to_string(pair.GetRowIndex());
    }
    // The record holds the first whitespace-delimited word of the text.
    const auto begin = std::find_if_not(text.begin(), text.end(), IsSpace);
    const auto end = std::find_if(begin, text.end(), IsSpace);
    rec.SetText(std::string(begin, end));
}

void SFExtensionSortCasesKey::ApplyRecord(VESK_DataSource& target, SystemFileOptions&,
                                          const SystemFileExtensionRecord& rec) {
    SF_EXT_CHECK(rec.UnitSize() == sizeof(char), "rec.UnitSize() == sizeof(char)");
    SF_EXT_CHECK(rec.NUnits() >= 0, "rec.NUnits() >= 0");
    const std::string text = rec.Text();
    if (text.size() <= 1) return;

    const std::string_view all(text);
    const size_t firstPair = all.find(kPairStart);
    const std::string_view keyText = all.substr(0, firstPair);

    // Every key must lie inside a case, and a key text can be no longer than
    // a case whose every cell is a numeric key.
    const uint64_t caseCells = target.GetObsAreaSize();
    uint64_t keyTextLength = 0;
    std::vector<FileSort::SortKey> keys;
    for (size_t p = 0; p < keyText.size();) {
        size_t bang = keyText.find('!', p);
        if (bang == std::string_view::npos) bang = keyText.size();
        const std::string_view piece = keyText.substr(p, bang - p);
        p = bang + 1;
        if (piece.empty()) continue;
        FileSort::SortKey key;
        SF_EXT_CHECK(ParseKey(piece, key), "sscanf(piece, \"%d:%d:%d\") == 3");
        SF_EXT_CHECK(key.width <= kMaxKeyWidth, "key.width <= MAX_STRING_TYPE");
        const uint64_t cells = key.width ? (uint64_t(key.width) + 7) / 8 : 1;
        SF_EXT_CHECK(key.cell + cells <= caseCells, "key.cell + cells <= GetObsAreaSize()");
        keyTextLength += key.width ? key.width : SortIndexInfo::kNumericKeyLength;
        SF_EXT_CHECK(keyTextLength <= SortIndexInfo::kNumericKeyLength * caseCells,
                     "keyTextLength <= 41 * GetObsAreaSize()");
        keys.push_back(key);
    }

    std::vector<SortIndexInfo::SortIndexKeyRowPair> index;
    for (size_t p = firstPair; p != std::string_view::npos && p < all.size();) {
        size_t next = all.find(kPairStart, p + 1);
        const std::string_view pair = all.substr(p + 1, (next == std::string_view::npos ? all.size() : next) - p - 1);
        p = next;
        const size_t row = pair.rfind(kRowStart);
        SF_EXT_CHECK(row != std::string_view::npos, "pair.find('\\x1F') != npos");
        index.emplace_back(std::string(pair.substr(0, row)), ReadRow(pair.substr(row + 1)));
    }

    SortIndexInfo info;
    info.SetIndexKeys(keys);
    info.SetIndex(index);
    info.SetDataSource(&target);
    target.SetSortIndexInfo(info);
}
