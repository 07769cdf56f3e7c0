// Variable sets and multiple-response sets: the data source keeps them as
// lists of variables referred to by id (VariableSetImpl), so that they survive
// renaming and reordering; the system file stores them as lines of text that
// name the variables (VariableSet).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "variable.h"
#include "vesk_export.h"

class VariableNameIndex;

class VESK_EXPORT VariableSetImpl {
public:
    enum VariableSetType : int32_t {
        eVariableSet = 0,        // plain variable set
        eMultipleCategories = 1, // multiple-response set of categories
        eMultipleDichotomies = 2 // multiple-response set of dichotomies
    };

    VariableSetImpl() = default;

    VariableSetType Type() const { return fType; }
    void Type(VariableSetType type) { fType = type; }
    const std::string& Name() const { return fName; }
    void Name(const std::string& name) { fName = name; }
    const std::string& Label() const { return fLabel; }
    void Label(const std::string& label) { fLabel = label; }
    const std::string& Value() const { return fValue; }
    void Value(const std::string& value) { fValue = value; }
    bool UseCategoryLabels() const { return fUseCategoryLabels; }
    void UseCategoryLabels(bool use) { fUseCategoryLabels = use; }
    bool LabelFromVariable() const { return fLabelFromVariable; }
    void LabelFromVariable(bool fromVariable) { fLabelFromVariable = fromVariable; }
    const std::vector<LocallyUniqueID>& Variables() const { return fVariables; }
    void Variables(const std::vector<LocallyUniqueID>& variables) { fVariables = variables; }
    size_t Size() const { return fVariables.size(); }

    bool operator==(const VariableSetImpl& o) const {
        return fType == o.fType && fName == o.fName && fLabel == o.fLabel && fValue == o.fValue &&
               fUseCategoryLabels == o.fUseCategoryLabels && fLabelFromVariable == o.fLabelFromVariable &&
               fVariables == o.fVariables;
    }
    bool operator!=(const VariableSetImpl& o) const { return !(*this == o); }

private:
    VariableSetType fType = eVariableSet;
    std::string fName;
    std::string fLabel;
    std::string fValue;
    bool fUseCategoryLabels = false;
    bool fLabelFromVariable = false;
    std::vector<LocallyUniqueID> fVariables;
};

// Index of the set named name in sets, or -1.
inline int FindVarSet(const std::string& name, const std::vector<VariableSetImpl>& sets) {
    for (size_t i = 0; i < sets.size(); ++i)
        if (sets[i].Name() == name) return int(i);
    return -1;
}

class VESK_DataSource;

// A variable set or multiple-response set as the system file stores it: the
// variables are referred to by name. One set is one line of text in an
// extension record (ToExtension, and the constructor from a line).
class VESK_EXPORT VariableSet {
public:
    enum VariableSetType : int32_t {
        eVariableSet = 0,        // plain variable set
        eMultipleCategories = 1, // multiple-response set of categories
        eMultipleDichotomies = 2 // multiple-response set of dichotomies
    };
    // Case of the names handed out by GetName and GetVariableNames.
    enum ChangeCase { eLowerCase = 0, eUpperCase = 1, eAsStored = 2 };
    // Flag bits. Bit 0 on a dichotomy set also makes it an enhanced one.
    enum : uint32_t {
        qUseVariableCategoryLabels = 1u,
        qIsEnhancedDichotomy = 1u,
        qLabelSetByVariable = 2u,
    };
    // Results of Validate.
    static constexpr int kNoError = 0;
    static constexpr int kNameLengthTooBig = 50000;
    static constexpr int kValueOutOfBound = 50001;
    static constexpr int kVariableNameNotFound = 50002; // for callers; Validate does not return it
    static constexpr int kTooFewVariables = 50003;
    static constexpr int kInvalidSetName = 50004;

    VariableSet() = default;
    VariableSet(const std::string& name, VariableSetType type) : fType(type), fName(name) {}
    // Parses one line of an extension record (it ends at its first carriage
    // return or line feed). A malformed line raises VeskError 1204 with the
    // argument "variable set".
    explicit VariableSet(const std::string& line);

    const std::string& GetName() const { return fName; }
    std::string GetName(ChangeCase change) const;
    const std::vector<std::string>& GetVariableNames() const { return fVariableNames; }
    std::vector<std::string> GetVariableNames(ChangeCase change) const;
    // Appends name unless the list already holds it (ignoring case).
    void AddVariableName(const std::string& name);
    void SetVariableNames(const std::vector<std::string>& names);

    VariableSetType GetType() const { return fType; }
    const std::string& GetLabel() const { return fLabel; }
    // The label to show: the set's own label, or when the label is set by
    // variable, the label of the first listed variable of source that has
    // one, else the first variable name.
    std::string GetLabel(const VESK_DataSource& source) const;
    const std::string& GetValue() const { return fValue; }

    void SetName(const std::string& name) { fName = name; }
    void SetType(VariableSetType type) { fType = type; }
    void SetLabel(const std::string& label) { fLabel = label; }
    void SetValue(const std::string& value) { fValue = value; }

    // Flags as text: "0"/"1" for bits 0 and 1, cut after the last "1" ("0"
    // when none is set). SetFlags sets bit i when character i exists and is
    // not "0".
    std::string GetFlags() const;
    void SetFlags(const std::string& flags);
    uint32_t GetFlagBits() const { return fFlags; }
    void SetFlagBits(uint32_t bits) { fFlags = bits & 3u; }
    bool LabelSetByVariable() const { return (fFlags & qLabelSetByVariable) != 0; }
    bool UseVariableCategoryLabels() const { return (fFlags & qUseVariableCategoryLabels) != 0; }
    // A dichotomy set with bit 0: written in the enhanced record only.
    bool IsEnhancedDichotomy() const {
        return fType == eMultipleDichotomies && (fFlags & qIsEnhancedDichotomy) != 0;
    }

    // kNoError or the first problem found: the name is longer than 64 bytes,
    // not a valid name of its kind (a multiple-response set name begins with
    // "$"), a dichotomy value that is empty, or neither a number nor at most 8
    // bytes of text, or no variables.
    int Validate() const;

    // The set as one line ending in a line feed. A set that cannot be read
    // back raises VeskError 1204 ("variable set"): a multiple-response set
    // name not beginning with "$", a plain set name beginning with it, a name
    // holding "=" or a line break, a dichotomy set without a value. Line breaks
    // inside the label or value are written as blanks, since they would end
    // the line.
    std::string ToExtension() const;

    // Names equal ignoring case, same type and flags, equal labels and values,
    // and the same variable names in order, ignoring case.
    bool operator==(const VariableSet& o) const;
    bool operator!=(const VariableSet& o) const { return !(*this == o); }

private:
    VariableSetType fType = eVariableSet;
    uint32_t fFlags = 0;
    std::string fName;
    std::string fLabel;
    std::string fValue;
    std::vector<std::string> fVariableNames;
};

// Which of a data source's two lists of sets.
enum VarSetsType { eVarSets = 0, eMRSets = 1 };

// The plain sets (eVarSets) or the multiple-response sets (eMRSets) of source
// in file form, named by the variables' current names.
VESK_EXPORT std::vector<VariableSet> VariableSets(const VESK_DataSource& source, VarSetsType kind);
// Stores the sets of that kind into source by variable id; names that match
// no variable are dropped, and so are sets left without variables and sets
// of the other kind.
VESK_EXPORT void SaveVariableSets(const std::vector<VariableSet>& sets, VESK_DataSource& source, VarSetsType kind);
// impl in file form. columns maps ids to columns; when empty it is filled
// from all variables of source, so that one map serves many calls. Ids that
// match no variable are dropped.
VESK_EXPORT void ConvertToVarSet(const VariableSetImpl& impl, const VESK_DataSource& source, VariableSet& out,
                                 std::map<LocallyUniqueID, int>& columns);
// set in data-source form. Names are looked up through names (upper case)
// when given, else by FindVarIndex; names that match no variable are dropped.
VESK_EXPORT void ConvertToImpl(const VariableSet& set, const VESK_DataSource& source, VariableSetImpl& out,
                               const VariableNameIndex* names);
// Appends the lines of the sets that belong in the record of subtype 5
// (plain sets), 7 (category sets and dichotomy sets that are not enhanced) or
// 19 (enhanced dichotomy sets), in list order; nothing for other subtypes.
// A set that cannot be written raises VeskError 1204 as ToExtension does.
VESK_EXPORT void MakeExtension(const std::vector<VariableSet>& sets, std::string& text, int subtype);
// Parses the length bytes of text, a record of subtype 5, 7 or 19, into sets:
// a set whose name came earlier in this record replaces the first set of the
// same name ignoring case; other sets are appended. A malformed line raises
// VeskError 1204 ("variable set").
VESK_EXPORT void ParseExtension(const char* text, size_t length, int subtype, std::vector<VariableSet>& sets);
