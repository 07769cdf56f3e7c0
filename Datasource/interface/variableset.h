// Variable sets and multiple-response sets as a data source keeps them: lists
// of variables referred to by id, so that they survive renaming and reordering.
#pragma once

#include <string>
#include <vector>

#include "variable.h"

class VariableSetImpl {
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
