// The variable body: defaults, names, types, formats, missing values, the label
// pool and the id counter.
#define VESK_SOURCE_NAME "Datasource/src/varimpl"

#include <cmath>
#include <cstring>
#include <deque>

#include "textmb.h"
#include "valuelabelmap.h"
#include "variable.h"
#include "vesk_assert.h"

namespace {

// Process-wide id counter and originator (not locked: the dictionary model is
// used by one thread at a time).
uint32_t gIdCounter = 0;
uint32_t gIdOriginator = 0;

// The label pool. A deque never moves its elements, so entry pointers stay valid
// while entries are appended.
std::deque<VESK_VarLabel>& LabelPool() {
    static std::deque<VESK_VarLabel> pool;
    return pool;
}

constexpr int kUpperNameBuffer = 128;

}  // namespace

// ------------------------------------------------------------------ ids

LocallyUniqueID LocallyUniqueID::New() {
    uint32_t value = (gIdCounter << 4) | (gIdOriginator & 0xFu);
    ++gIdCounter;
    return LocallyUniqueID(value);
}

void VESK_VariableImpl::SetOriginator(int originator) {
    gIdOriginator = uint32_t(originator) & 0xFu;
    VESK_VLMapRegistry::SetOriginator(unsigned(originator));
}

const VESK_VarLabel* VESK_VariableImpl::InsertLabel(const char* text, unsigned length) {
    std::deque<VESK_VarLabel>& pool = LabelPool();
    if (length == 0 || text == nullptr)
        pool.emplace_back();
    else
        pool.emplace_back(text, length);
    return &pool.back();
}

// ------------------------------------------------------------------ formats

int32_t VESK_VariableImpl::PackFormat(int code, int width, int decimals) {
    uint32_t w = uint32_t(width) & 0xFFFFu;
    uint32_t c = uint32_t(code) & 0xFFu;
    if (c == VESK_Variable_Enumerations::eFmtString)
        return int32_t((w >> 8) | ((w & 0xFFu) << 8) | (c << 16));
    return int32_t((uint32_t(decimals) & 0xFFu) | ((w & 0xFFu) << 8) | (c << 16) | ((w >> 8) << 24));
}

VESK_Format VESK_VariableImpl::UnpackFormat(int32_t packed) {
    uint32_t p = uint32_t(packed);
    int code = int((p >> 16) & 0xFFu);
    if (code == eFmtString) return VESK_Format(code, int((p & 0xFFu) * 256 + ((p >> 8) & 0xFFu)), 0);
    int width = int((p >> 8) & 0xFFu);
    // A hexadecimal string format keeps the high byte of a width above 255.
    if (code == eFmtHexString) width += int(p >> 24) * 256;
    else if (width > 40) width = 40;
    return VESK_Format(code, width, int(p & 0xFFu));
}

int32_t VESK_VariableImpl::DefaultFormat(int type) {
    if (type > 0) return PackFormat(eFmtString, type, 0);
    return PackFormat(eFmtNumber, 8, 2);
}

// ------------------------------------------------------------------ body

VESK_VariableImpl::VESK_VariableImpl(int type)
    : fObsolete(0), fMeasure(0), fAlignment(0), fDirty(1) {
    VESK_ASSERT(0 <= type && type <= MAX_STRING_TYPE);
    std::memset(fMissing, 0, sizeof fMissing);
    fType = int16_t(type);
    fPrintFormat = fWriteFormat = DefaultFormat(type);
    if (type > 0) {
        fDisplayWidth = int16_t(type);
        fMeasure = eMeasureNominal;
        fAlignment = eAlignLeft;
    } else {
        fDisplayWidth = 8;
        fMeasure = eMeasureUnknown;
        fAlignment = eAlignRight;
    }
    fID = LocallyUniqueID::New();
}

VESK_VariableImpl::VESK_VariableImpl(const VESK_VariableImpl& other)
    : VESK_RefCntObject(other),
      VESK_Variable_Enumerations(other),
      fName(other.fName),
      fUpperName(other.fUpperName),
      fLabel(other.fLabel),
      fAttributes(other.fAttributes),
      fPrintFormat(other.fPrintFormat),
      fWriteFormat(other.fWriteFormat),
      fType(other.fType),
      fDisplayWidth(other.fDisplayWidth),
      fRole(other.fRole),
      fRule(other.fRule),
      fObsolete(other.fObsolete),
      fMeasure(other.fMeasure),
      fAlignment(other.fAlignment),
      fDirty(other.fDirty),
      fValueLabels(other.fValueLabels),
      fID(other.fID) {
    std::memcpy(fMissing, other.fMissing, sizeof fMissing);
}

VESK_VariableImpl::~VESK_VariableImpl() = default;

void VESK_VariableImpl::SetName(const char* text, unsigned length) {
    if (text == nullptr) length = 0;
    while (length > 0 && text[length - 1] == ' ') --length;
    fName.assign(text ? text : "", length);
    char upper[kUpperNameBuffer];
    int n = VESKMBMvUpper_A(upper, sizeof upper, fName.data(), fName.size());
    fUpperName.assign(upper, n > 0 ? size_t(n) : 0);
    fDirty = 1;
}

void VESK_VariableImpl::SetType(int type) {
    VESK_ASSERT(0 <= type && type <= MAX_STRING_TYPE);
    if (type != fType) {
        // A hexadecimal string format survives when its doubled width still fits
        // in the width byte; anything else falls back to the type's default.
        auto adapt = [type](int32_t packed) -> int32_t {
            if (type > 0 && ((uint32_t(packed) >> 16) & 0xFFu) == eFmtHexString && 2 * type < 254)
                return PackFormat(eFmtHexString, 2 * type, int(uint32_t(packed) & 0xFFu));
            return DefaultFormat(type);
        };
        fPrintFormat = adapt(fPrintFormat);
        fWriteFormat = adapt(fWriteFormat);
        fType = int16_t(type);
    }
    fDirty = 1;
}

void VESK_VariableImpl::SetLabel(const VESK_VarLabel* label) {
    fLabel = label;
    fDirty = 1;
}

void VESK_VariableImpl::SetLabel(const char* text, unsigned length) {
    fLabel = text ? InsertLabel(text, length) : nullptr;
    fDirty = 1;
}

void VESK_VariableImpl::SetMissingValues(int rule, const OBS* v1, const OBS* v2, const OBS* v3) {
    int n = rule < 0 ? -rule : rule;
    if (n >= 1) VESK_ASSERT(v1);
    if (n >= 2) VESK_ASSERT(v2);
    if (n >= 3) VESK_ASSERT(v3);
    const OBS* given[3] = {v1, v2, v3};
    OBS values[3];
    for (int k = 0; k < 3; ++k) values[k].bits = 0;
    for (int k = 0; k < 3 && k < n; ++k) values[k] = *given[k];
    std::memcpy(fMissing, values, sizeof fMissing);
    fRule = int8_t(rule);
    fDirty = 1;
}

VESK_Variable_Enumerations::Rule VESK_VariableImpl::GetMissingValues(const OBS*& v1, const OBS*& v2,
                                                                     const OBS*& v3) const {
    v1 = &fMissing[0];
    v2 = &fMissing[1];
    v3 = &fMissing[2];
    return Rule(fRule);
}

int VESK_VariableImpl::IsMissing(const OBS* cell) const {
    if (fType != 0) {
        if (fRule <= 0) return 0;
        for (int k = (fRule > 3 ? 3 : fRule) - 1; k >= 0; --k)
            if (std::memcmp(cell->c, fMissing[k].c, 8) == 0) return 1;
        return 0;
    }
    if (cell->bits == VESK_SYSMIS_BITS) return 1;
    auto inRange = [&] { return fMissing[0].d <= cell->d && cell->d <= fMissing[1].d; };
    switch (fRule > 3 ? 3 : fRule) {
    case 3:
        if (cell->bits == fMissing[2].bits) return 1;
        [[fallthrough]];
    case 2:
        if (cell->bits == fMissing[1].bits) return 1;
        [[fallthrough]];
    case 1:
        return cell->bits == fMissing[0].bits;
    case -2:
        return inRange();
    case -3:
        return cell->bits == fMissing[2].bits || inRange();
    default:
        return 0;
    }
}

int VESK_VariableImpl::IsMissing(const std::string& text) const {
    if (fType == 0 || text.size() > size_t(fType) || text.size() > 8 || fRule == 0) return 0;
    OBS cell;
    std::memset(cell.c, ' ', 8);
    size_t n = 0;
    while (n < text.size() && text[n] != '\0') ++n;
    std::memcpy(cell.c, text.data(), n);
    return IsMissing(&cell);
}

void VESK_VariableImpl::SetAlignment(Alignment a) {
    fAlignment = uint8_t(a) & 0x3u;
    fDirty = 1;
}

void VESK_VariableImpl::SetRole(Role r) {
    fRole = r;
    fDirty = 1;
}

void VESK_VariableImpl::SetDisplayWidth(short w) {
    fDisplayWidth = w;
    fDirty = 1;
}

void VESK_VariableImpl::SetMeasurementLevel(MeasurementLevel m) {
    fMeasure = uint8_t(m) & 0xFu;
    fDirty = 1;
}

void VESK_VariableImpl::SetAttributes(const DatasourceAttributes& attributes) {
    fAttributes = attributes;
    fDirty = 1;
}

void VESK_VariableImpl::SetValueLabels(const VESK_VLImplPointer& labels) {
    fValueLabels = labels;
    fDirty = 1;
}

void VESK_VariableImpl::MakeObsolete() {
    fObsolete = 1;
    fDirty = 1;
}

bool VESK_VariableImpl::operator==(const VESK_VariableImpl& other) const {
    if (this == &other) return true;
    if (fName != other.fName || fType != other.fType) return false;
    if ((fLabel == nullptr) != (other.fLabel == nullptr)) return false;
    if (fLabel && *fLabel != *other.fLabel) return false;
    if (fRule != other.fRule || fPrintFormat != other.fPrintFormat || fWriteFormat != other.fWriteFormat ||
        fDisplayWidth != other.fDisplayWidth || fMeasure != other.fMeasure ||
        fAlignment != other.fAlignment || fRole != other.fRole)
        return false;
    int n = fRule < 0 ? -fRule : fRule;
    if (n > 3) n = 3;
    if (n > 0 && std::memcmp(fMissing, other.fMissing, size_t(n) * sizeof(OBS)) != 0) return false;
    if (fValueLabels.IsValid() != other.fValueLabels.IsValid()) return false;
    if (fValueLabels.IsValid() &&
        !(VESK_ValueLabelMap(fValueLabels) == VESK_ValueLabelMap(other.fValueLabels)))
        return false;
    return fAttributes == other.fAttributes;
}

// ------------------------------------------------------------------ statics of the handle

namespace {

// Per format code: usable for numeric variables, decimals allowed, minimum
// width, decimal reserve (decimals may not exceed width minus the reserve).
struct FormatRule {
    bool numeric;
    bool decimals;
    int minWidth;
    int reserve;
};

constexpr FormatRule kNoFormat = {false, false, 0, 0};

constexpr FormatRule kFormatRules[40] = {
    kNoFormat,              // 0
    kNoFormat,              // 1 plain string
    kNoFormat,              // 2 hexadecimal string
    {true, true, 1, 1},     // 3
    {true, true, 2, 2},     // 4
    {true, true, 1, 1},     // 5
    kNoFormat, kNoFormat, kNoFormat, kNoFormat, kNoFormat,  // 6-10
    kNoFormat, kNoFormat, kNoFormat, kNoFormat, kNoFormat,  // 11-15
    kNoFormat,              // 16
    {true, true, 6, 6},     // 17
    kNoFormat, kNoFormat,   // 18, 19
    {true, false, 9, 0},    // 20
    {true, true, 5, 9},     // 21
    {true, true, 17, 21},   // 22
    {true, false, 8, 0},    // 23
    {true, false, 5, 0},    // 24
    {true, true, 8, 12},    // 25
    {true, false, 2, 0},    // 26
    {true, false, 3, 0},    // 27
    {true, false, 6, 0},    // 28
    {true, false, 6, 0},    // 29
    {true, false, 8, 0},    // 30
    {true, true, 2, 2},     // 31
    {true, true, 1, 1},     // 32
    {true, true, 1, 1},     // 33
    {true, true, 1, 1},     // 34
    {true, true, 1, 1},     // 35
    {true, true, 1, 1},     // 36
    {true, true, 1, 1},     // 37
    {true, false, 8, 0},    // 38
    {true, true, 8, 0},     // 39
};

bool IsDateCode(int code) {
    switch (code) {
    case 20: case 23: case 24: case 28: case 29: case 30: case 38: case 39:
        return true;
    default:
        return false;
    }
}

bool IsTimeCode(int code) { return code == 21 || code == 22 || code == 25; }

}  // namespace

int VESK_Variable::ValidateFormat(int type, FormatType& code, int& width, int& decimals, bool fix) {
    int verdict = 0;
    if (type > 0) {
        if (code == eFmtString) {
            if (width != type) {
                verdict = 2;
                if (fix) width = type;
            }
        } else if (code == eFmtHexString && 2 * type < 32768) {
            if (width != 2 * type) {
                verdict = 2;
                if (fix) width = 2 * type;
            }
        } else {
            if (fix) {
                code = eFmtString;
                width = type;
                decimals = 0;
                return 1;
            }
            verdict = 1;
        }
        if (decimals != 0) {
            if (verdict == 0) verdict = 3;
            if (fix) decimals = 0;
        }
        return verdict;
    }
    if (type < 0) return 0;

    if (code < 0 || code > eMaxFormatType || !kFormatRules[code].numeric) {
        if (fix) {
            code = eFmtNumber;
            width = 8;
            decimals = 2;
        }
        return 1;
    }
    const FormatRule& rule = kFormatRules[code];
    if (width < rule.minWidth) {
        verdict = 2;
        if (fix) width = rule.minWidth;
    } else if (width > 40) {
        verdict = 2;
        if (fix) width = 40;
    }
    if (decimals == 0) return verdict;
    if (rule.decimals && decimals >= 0 && decimals <= 16 && decimals <= width - rule.reserve) return verdict;
    if (verdict == 0) verdict = 3;
    if (fix) {
        if (rule.decimals && decimals >= 0) {
            int d = width - rule.reserve;
            if (d > 16) d = 16;
            decimals = d < 0 ? 0 : d;
        } else {
            decimals = 0;
        }
    }
    return verdict;
}

int VESK_Variable::GetImageIndex(FormatType code, MeasurementLevel level) {
    int base;
    if (code == eFmtString) {
        return level == eMeasureOrdinal ? 3 : 4;
    } else if (IsDateCode(code)) {
        base = 5;
    } else if (IsTimeCode(code)) {
        base = 8;
    } else {
        base = 0;
    }
    if (level == eMeasureNominal) return base + 2;
    if (level == eMeasureOrdinal) return base + 1;
    return base;
}
