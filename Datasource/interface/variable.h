// Variables of a dictionary.
//
// VESK_Variable is a one-pointer handle over a shared VESK_VariableImpl body;
// copies share the body and the first change through a handle copies it
// (copy-on-write), so a change never shows through another handle. Nothing
// here is locked: variables are used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>

#include "Attributes.h"
#include "obs.h"
#include "refcount.h"
#include "valuelabelmap.h"
#include "vesk_export.h"

// The enumerations of variables; the numeric values are what is stored.
struct VESK_EXPORT VESK_Variable_Enumerations {
    // 4 and 5 are further levels the file writer stores specially; 4 bits wide.
    enum MeasurementLevel : int32_t {
        eMeasureUnknown = 0,
        eMeasureNominal = 1,
        eMeasureOrdinal = 2,
        eMeasureScale = 3,
    };
    // 2 bits wide.
    enum Alignment : int32_t { eAlignLeft = 0, eAlignRight = 1, eAlignCentre = 2 };
    // Analysis role: any 32-bit value, default 0.
    enum Role : int32_t { eRoleDefault = 0 };
    // Missing-value rule: n > 0 discrete values, -2 a range, -3 a range plus one
    // discrete value; 0 (and -1, never produced) means none.
    enum Rule : int8_t {
        eMissRangeAndDiscrete = -3,
        eMissRange = -2,
        eMissNone = 0,
        eMissOne = 1,
        eMissTwo = 2,
        eMissThree = 3,
    };
    // Format code, 0..eMaxFormatType. Codes 1 and 2 are the string codes (plain
    // and hexadecimal); the others are numeric display codes (see ValidateFormat).
    enum FormatType : int32_t {
        eFmtNone = 0,
        eFmtString = 1,
        eFmtHexString = 2,
        eFmtNumber = 5,
        eMaxFormatType = 39,
    };
};

// Process-local identity of a variable: bits 4-31 a process-wide counter, bits
// 0-3 the originator. All bits set means none (the default).
class VESK_EXPORT LocallyUniqueID {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    LocallyUniqueID() = default;
    explicit LocallyUniqueID(uint32_t value) : fValue(value) {}

    // A fresh id: the counter's current value (then incremented) and the
    // originator last given to VESK_VariableImpl::SetOriginator.
    static LocallyUniqueID New();
    static LocallyUniqueID None() { return LocallyUniqueID(); }

    bool IsNone() const { return fValue == kNone; }
    uint32_t Value() const { return fValue; }
    unsigned Originator() const { return fValue & 0xFu; }

    bool operator==(const LocallyUniqueID& o) const { return fValue == o.fValue; }
    bool operator!=(const LocallyUniqueID& o) const { return fValue != o.fValue; }
    // Originator bits first, then the counter bits.
    bool operator<(const LocallyUniqueID& o) const {
        if ((fValue & 0xFu) != (o.fValue & 0xFu)) return (fValue & 0xFu) < (o.fValue & 0xFu);
        return (fValue >> 4) < (o.fValue >> 4);
    }

private:
    uint32_t fValue = kNone;
};

// A format: width, code and decimals in that order in memory; the constructor
// takes them as (code, width, decimals), like SetFormat.
struct VESK_EXPORT VESK_Format {
    uint16_t width = 0;
    uint8_t code = 0;
    uint8_t decimals = 0;

    VESK_Format() = default;
    VESK_Format(int code_, int width_, int decimals_)
        : width(uint16_t(width_)), code(uint8_t(code_)), decimals(uint8_t(decimals_)) {}
    bool operator==(const VESK_Format& o) const {
        return width == o.width && code == o.code && decimals == o.decimals;
    }
    bool operator!=(const VESK_Format& o) const { return !(*this == o); }
};
static_assert(sizeof(VESK_Format) == 4, "a format is four bytes");

// A variable label. Labels live in a process-wide pool (VESK_VariableImpl::
// InsertLabel) and are never freed or shared by content, so a label pointer
// stays valid for the life of the process.
class VESK_EXPORT VESK_VarLabel : public std::string {
public:
    using std::string::string;
};

// The shared body of a variable.
class VESK_EXPORT VESK_VariableImpl : public VESK_RefCntObject, public VESK_Variable_Enumerations {
public:
    // A body of that type with the defaults (0 = numeric).
    explicit VESK_VariableImpl(int type = 0);
    // Copies every field including id and flags; shares the label entry and the
    // value-label body.
    VESK_VariableImpl(const VESK_VariableImpl& other);
    VESK_VariableImpl& operator=(const VESK_VariableImpl&) = delete;
    ~VESK_VariableImpl() override;

    // Name as set (trailing blanks removed) and its upper-cased form.
    const std::string& GetName() const { return fName; }
    const std::string& GetUpperCaseName() const { return fUpperName; }
    void SetName(const char* text, unsigned length);

    int GetType() const { return fType; }
    // Changes the storage type; formats that no longer suit are replaced.
    void SetType(int type);

    // Packed format words (see PackFormat). The setters leave dirty alone.
    int32_t GetFormat() const { return fPrintFormat; }
    void SetFormat(int32_t packed) { fPrintFormat = packed; }
    int32_t GetWriteFormat() const { return fWriteFormat; }
    void SetWriteFormat(int32_t packed) { fWriteFormat = packed; }

    // The label text, null when there is none.
    const char* GetLabel() const { return fLabel ? fLabel->c_str() : nullptr; }
    const VESK_VarLabel* GetVarLabelPtr() const { return fLabel; }
    // Points at an existing pool entry (null removes the label).
    void SetLabel(const VESK_VarLabel* label);
    // Stores a new pool entry of exactly length bytes (null removes the label).
    void SetLabel(const char* text, unsigned length);

    // Stores the rule and the first |rule| operands (the others become zero bits).
    void SetMissingValues(int rule, const OBS* v1, const OBS* v2, const OBS* v3);
    // Returns the rule and points the references at the three operands.
    Rule GetMissingValues(const OBS*& v1, const OBS*& v2, const OBS*& v3) const;
    Rule GetMissingRule() const { return Rule(fRule); }
    // 1 when the cell is a missing value of this variable (a numeric
    // system-missing value always is), else 0.
    int IsMissing(const OBS* cell) const;
    // 1 when the text (up to its first NUL, blank-padded to 8 bytes) is a
    // missing value of this string variable.
    int IsMissing(const std::string& text) const;

    Alignment GetAlignment() const { return Alignment(fAlignment); }
    void SetAlignment(Alignment a);
    Role GetRole() const { return fRole; }
    void SetRole(Role r);
    short GetDisplayWidth() const { return fDisplayWidth; }
    void SetDisplayWidth(short w);
    MeasurementLevel GetMeasurementLevel() const { return MeasurementLevel(fMeasure); }
    void SetMeasurementLevel(MeasurementLevel m);

    const DatasourceAttributes& GetAttributes() const { return fAttributes; }
    void SetAttributes(const DatasourceAttributes& attributes);

    const VESK_VLImplPointer& GetValueLabels() const { return fValueLabels; }
    void SetValueLabels(const VESK_VLImplPointer& labels);

    // The id setters leave dirty alone.
    LocallyUniqueID GetID() const { return fID; }
    void SetID(LocallyUniqueID id) { fID = id; }
    void NewID() { fID = LocallyUniqueID::New(); }

    bool IsObsolete() const { return fObsolete; }
    void MakeObsolete();

    bool IsDirty() const { return fDirty; }
    void SetDirty(bool dirty = true) { fDirty = dirty; }
    void Wipe() { fDirty = false; }

    // Same dictionary entry: ids, flags and the upper-case name do not count.
    bool operator==(const VESK_VariableImpl& other) const;
    bool operator!=(const VESK_VariableImpl& other) const { return !(*this == other); }

    // The originator of ids made from now on (low 4 bits); also passed on to
    // the value-label map registry.
    static void SetOriginator(int originator);
    // Appends a label entry holding exactly length bytes of text to the pool.
    static const VESK_VarLabel* InsertLabel(const char* text, unsigned length);

    // Format word packing. Code 1 keeps a 15-bit width (high byte in bits 0-7,
    // low byte in bits 8-15); other codes keep decimals in bits 0-7, width in
    // bits 8-15 (high byte in bits 24-31) and the code in bits 16-23.
    static int32_t PackFormat(int code, int width, int decimals);
    // Widths above 40 read as 40 except for the string codes.
    static VESK_Format UnpackFormat(int32_t packed);
    // The format a new variable of that type gets.
    static int32_t DefaultFormat(int type);

private:
    std::string fName;
    std::string fUpperName;
    OBS fMissing[3];
    const VESK_VarLabel* fLabel = nullptr;
    DatasourceAttributes fAttributes;
    int32_t fPrintFormat;
    int32_t fWriteFormat;
    int16_t fType;
    int16_t fDisplayWidth;
    Role fRole = eRoleDefault;
    int8_t fRule = 0;
    uint8_t fObsolete : 1;
    uint8_t fMeasure : 4;
    uint8_t fAlignment : 2;
    uint8_t fDirty : 1;
    VESK_VLImplPointer fValueLabels;
    LocallyUniqueID fID;
};

// Value-semantic handle over a shared variable body. Every operation except
// construction, copy, assignment, destruction, Impl and GetAttributes requires
// a body; every change goes to a private copy of the body.
class VESK_EXPORT VESK_Variable : public VESK_Variable_Enumerations {
public:
    // A null handle.
    VESK_Variable() = default;
    // A new variable of that type (0 numeric, 1..MAX_STRING_TYPE string width).
    explicit VESK_Variable(int type);
    VESK_Variable(const VESK_Variable&) = default;
    VESK_Variable& operator=(const VESK_Variable&) = default;
    ~VESK_Variable() = default;

    RefCountPtr<VESK_VariableImpl>& Impl() { return fpImpl; }
    const RefCountPtr<VESK_VariableImpl>& Impl() const { return fpImpl; }

    const std::string& GetName() const;
    const std::string& GetUpperCaseName() const;
    void SetName(const char* name);
    void SetName(const char* name, unsigned length);

    int GetType() const;
    void SetType(int type);

    void SetFormat(VESK_Format format);
    // Widths above 40 become 40 except for the string codes.
    void SetFormat(FormatType code, int width, int decimals);
    VESK_Format GetFormat() const;
    void GetFormat(FormatType& code, int& width, int& decimals) const;
    void SetWriteFormat(VESK_Format format);
    void SetWriteFormat(FormatType code, int width, int decimals);
    VESK_Format GetWriteFormat() const;
    void GetWriteFormat(FormatType& code, int& width, int& decimals) const;

    // Null removes the label; an empty text is an (empty) label.
    void SetLabel(const char* label);
    void SetLabel(const char* label, unsigned length);
    // Null when the variable has no label.
    const char* GetLabel() const;
    // The label if there is one, otherwise the name.
    std::string GetPreferredLabel() const;

    // Returns the rule and points the references at the three stored operands.
    int GetMissingValues(const OBS*& v1, const OBS*& v2, const OBS*& v3) const;
    void SetMissingValues(int rule, const OBS* v1, const OBS* v2, const OBS* v3);
    // The rule is the number of non-null pointers.
    void SetMissingValues(const OBS* v1, const OBS* v2, const OBS* v3);
    // Numeric variables only; the given pointers must come first.
    void SetMissingValues(const double* v1, const double* v2, const double* v3);
    // String variables only; each text is cut or blank-padded to 8 bytes.
    void SetMissingValues(const char* v1, const char* v2, const char* v3);
    // Numeric variables only: the range low..high (open ends when null) plus an
    // optional discrete value.
    void SetMissingRange(const double* low, const double* high, const double* discrete);
    int IsMissing(const OBS* cell) const;
    int IsMissing(const double& value) const;
    int IsMissing(const char* text) const;

    Alignment GetAlignment() const;
    void SetAlignment(Alignment a);
    Role GetRole() const;
    void SetRole(Role r);
    short GetDisplayWidth() const;
    void SetDisplayWidth(short w);
    MeasurementLevel GetMeasurementLevel() const;
    void SetMeasurementLevel(MeasurementLevel m);

    const VESK_VLImplPointer& GetValueLabels() const;
    void SetValueLabels(const VESK_VLImplPointer& labels);

    bool IsObsolete() const;
    LocallyUniqueID GetID() const;
    void SetID(LocallyUniqueID id);
    void NewID();

    // Empty attributes for a null handle.
    const DatasourceAttributes& GetAttributes() const;
    void SetAttributes(const DatasourceAttributes& attributes);

    bool operator==(const VESK_Variable& other) const;
    bool operator!=(const VESK_Variable& other) const { return !(*this == other); }

    // 0 when the format suits a variable of that type, else 1 (code unusable),
    // 2 (width wrong) or 3 (decimals wrong). With fix the arguments are corrected.
    static int ValidateFormat(int type, FormatType& code, int& width, int& decimals, bool fix);
    // Icon number 0..10 for a format code and measurement level.
    static int GetImageIndex(FormatType code, MeasurementLevel level);

private:
    RefCountPtr<VESK_VariableImpl> fpImpl;
};
