// Variable sets and multiple-response sets: the file form, its line syntax,
// and the conversions to and from the data source's id-based form.
#define VESK_SOURCE_NAME "Datasource/src/variableset"

#include "variableset.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "SystemFileException.h"
#include "VariableNameIndex.h"
#include "variableset_private.h"
#include "datasrc.h"
#include "names.h"
#include "sysfilelayout.h"
#include "textmb.h"

namespace {

constexpr size_t kMaxSetNameBytes = 64;

std::string Recase(const std::string& text, VariableSet::ChangeCase change) {
    switch (change) {
        case VariableSet::eLowerCase: return VESKMBLower(text);
        case VariableSet::eUpperCase: return VESKMBUpper(text);
        default: return text;
    }
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
    return VESKMBqstricmp_A(a.data(), a.size(), b.data(), b.size()) != 0;
}

// Cuts the text up to the next blank off the front of line (all of it when
// there is no blank); the blank stays.
std::string_view TakeToken(std::string_view& line) {
    const size_t blank = line.find(' ');
    const std::string_view token = line.substr(0, blank);
    line.remove_prefix(token.size());
    return token;
}

// Requires a blank at the front of line and drops it.
void TakeBlank(std::string_view& line) {
    const char space = line.empty() ? '\0' : line.front();
    SF_EXT_CHECK(space == ' ', "space == ' '");
    line.remove_prefix(1);
}

// A length token: a run of decimal digits; anything else reads as 0. Values
// beyond any line saturate, so that the bounds checks reject them.
size_t ReadLength(std::string_view token) {
    if (token.empty()) return 0;
    size_t value = 0;
    for (char c : token) {
        if (c < '0' || c > '9') return 0;
        value = value > (SIZE_MAX - 9) / 10 ? SIZE_MAX : value * 10 + size_t(c - '0');
    }
    return value;
}

// A line break inside a length-prefixed text would end the line when read.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

// The column of the variable with that id: from the map (filled on first use)
// or by search.
int ColumnOf(LocallyUniqueID id, const VESK_DataSource& source, std::map<LocallyUniqueID, int>& columns) {
    if (columns.empty()) {
        const int n = int(source.ColumnCount());
        for (int v = 0; v < n; ++v) columns.emplace(source.GetVariable(v).GetID(), v);
    }
    const auto it = columns.find(id);
    if (it != columns.end() && it->second < int(source.ColumnCount()) &&
        source.GetVariable(it->second).GetID() == id)
        return it->second;
    return source.FindVarIndex(id);
}

// Runs a step of the record text for a public caller: a malformed line or
// an unwritable set, raised inside as SystemFileException, reaches the caller
// as VeskError 1204.
template <class Step>
auto RaisedAsError(Step step) -> decltype(step()) {
    try {
        return step();
    } catch (const SystemFileException&) {
        ThrowError::String1(DATASRC_ERR, DatasrcMsg::Malformed, "variable set");
    }
}

}  // namespace

// ------------------------------------------------------------------ VariableSet

VariableSet::VariableSet(const std::string& line) {
    RaisedAsError([&] { ParseSetLine(line, *this); });
}

std::string VariableSet::GetName(ChangeCase change) const { return Recase(fName, change); }

std::vector<std::string> VariableSet::GetVariableNames(ChangeCase change) const {
    if (change == eAsStored) return fVariableNames;
    std::vector<std::string> names;
    names.reserve(fVariableNames.size());
    for (const std::string& name : fVariableNames) names.push_back(Recase(name, change));
    return names;
}

void VariableSet::AddVariableName(const std::string& name) {
    for (const std::string& present : fVariableNames)
        if (SameIgnoringCase(present, name)) return;
    fVariableNames.push_back(name);
}

void VariableSet::SetVariableNames(const std::vector<std::string>& names) {
    fVariableNames.clear();
    for (const std::string& name : names) AddVariableName(name);
}

std::string VariableSet::GetLabel(const VESK_DataSource& source) const {
    if (!LabelSetByVariable()) return fLabel;
    for (const std::string& name : fVariableNames) {
        const int column = source.FindVarIndex(name.c_str());
        if (column < 0) continue;
        const char* label = source.GetVariable(column).GetLabel();
        if (label && *label) return label;
    }
    return fVariableNames.empty() ? std::string() : fVariableNames.front();
}

std::string VariableSet::GetFlags() const {
    if (fFlags & 2u) return (fFlags & 1u) ? "11" : "01";
    return (fFlags & 1u) ? "1" : "0";
}

void VariableSet::SetFlags(const std::string& flags) {
    fFlags = 0;
    for (size_t i = 0; i < 2; ++i)
        if (i < flags.size() && flags[i] != '0') fFlags |= 1u << i;
}

int VariableSet::Validate() const {
    if (fName.size() > kMaxSetNameBytes) return kNameLengthTooBig;
    const int verdict = ValidateVESKName(fName.c_str());
    const int wanted = fType == eVariableSet ? VESKNameLegal : VESKNameSystem;
    if (verdict != wanted) return kInvalidSetName;
    if (fType == eMultipleDichotomies) {
        // The counted value is a number, or the text of a short string.
        if (fValue.empty()) return kValueOutOfBound;
        char* end = nullptr;
        errno = 0;
        std::strtod(fValue.c_str(), &end);
        const bool number = end != fValue.c_str() && *end == '\0' && errno == 0;
        if (!number && fValue.size() > 8) return kValueOutOfBound;
    }
    if (fVariableNames.empty()) return kTooFewVariables;
    return kNoError;
}

std::string VariableSet::ToExtension() const {
    return RaisedAsError([&] { return SetLine(*this); });
}

bool VariableSet::operator==(const VariableSet& o) const {
    if (VESKMBstricmp_A(fName.c_str(), o.fName.c_str()) != 0) return false;
    if (fType != o.fType || fFlags != o.fFlags || fLabel != o.fLabel || fValue != o.fValue) return false;
    if (fVariableNames.size() != o.fVariableNames.size()) return false;
    for (size_t i = 0; i < fVariableNames.size(); ++i)
        if (!SameIgnoringCase(fVariableNames[i], o.fVariableNames[i])) return false;
    return true;
}

// ------------------------------------------------------------------ conversions

std::vector<VariableSet> VariableSets(const VESK_DataSource& source, VarSetsType kind) {
    const std::vector<VariableSetImpl> impls = kind == eVarSets ? source.GetVariableSets() : source.GetMRSets();
    std::vector<VariableSet> sets(impls.size());
    std::map<LocallyUniqueID, int> columns;
    for (size_t i = 0; i < impls.size(); ++i) ConvertToVarSet(impls[i], source, sets[i], columns);
    return sets;
}

void ConvertToVarSet(const VariableSetImpl& impl, const VESK_DataSource& source, VariableSet& out,
                     std::map<LocallyUniqueID, int>& columns) {
    out = VariableSet(impl.Name(), VariableSet::VariableSetType(impl.Type()));
    out.SetLabel(impl.Label());
    out.SetValue(impl.Value());
    out.SetFlagBits((impl.UseCategoryLabels() ? VariableSet::qUseVariableCategoryLabels : 0u) |
                    (impl.LabelFromVariable() ? VariableSet::qLabelSetByVariable : 0u));
    for (LocallyUniqueID id : impl.Variables()) {
        const int column = ColumnOf(id, source, columns);
        if (column >= 0) out.AddVariableName(source.GetVariable(column).GetName());
    }
}

void ConvertToImpl(const VariableSet& set, const VESK_DataSource& source, VariableSetImpl& out,
                   const VariableNameIndex* names) {
    out = VariableSetImpl();
    out.Type(VariableSetImpl::VariableSetType(set.GetType()));
    out.Name(set.GetName());
    out.Label(set.GetLabel());
    out.Value(set.GetValue());
    out.UseCategoryLabels(set.UseVariableCategoryLabels());
    out.LabelFromVariable(set.LabelSetByVariable());
    std::vector<LocallyUniqueID> ids;
    for (const std::string& name : set.GetVariableNames()) {
        int column = names ? names->Find(VESKMBUpper(name).c_str()) : -1;
        if (column < 0) column = source.FindVarIndex(name.c_str());
        if (column < 0) continue;
        const LocallyUniqueID id = source.GetVariable(column).GetID();
        bool present = false;
        for (LocallyUniqueID seen : ids) present = present || seen == id;
        if (!present) ids.push_back(id);
    }
    out.Variables(ids);
}

void SaveVariableSets(const std::vector<VariableSet>& sets, VESK_DataSource& source, VarSetsType kind) {
    const VariableNameIndex names(source);
    std::vector<VariableSetImpl> mrSets;
    std::vector<VariableSetImpl> plainSets;
    for (const VariableSet& set : sets) {
        VariableSetImpl impl;
        ConvertToImpl(set, source, impl, &names);
        if (impl.Size() == 0) continue;
        (impl.Type() == VariableSetImpl::eVariableSet ? plainSets : mrSets).push_back(std::move(impl));
    }
    if (kind == eMRSets)
        source.SetMRSets(mrSets);
    else
        source.SetVariableSets(plainSets);
}

// ------------------------------------------------------------------ record text

void MakeExtension(const std::vector<VariableSet>& sets, std::string& text, int subtype) {
    RaisedAsError([&] { MakeSetRecord(sets, text, subtype); });
}

void ParseExtension(const char* text, size_t length, int subtype, std::vector<VariableSet>& sets) {
    RaisedAsError([&] { ParseSetRecord(text, length, subtype, sets); });
}

// ------------------------------------------------------------------ record text for the handlers

void ParseSetLine(const std::string& text, VariableSet& set) {
    std::string_view line(text);
    line = line.substr(0, line.find_first_of("\r\n"));

    const size_t equal = line.find('=');
    SF_EXT_CHECK(equal != std::string_view::npos, "equal != std::string::npos");
    const std::string name(line.substr(0, equal));
    set.SetName(name);
    line.remove_prefix(equal + 1);

    if (name.empty() || name[0] != '$') {
        set.SetType(VariableSet::eVariableSet);
    } else {
        const char type = line.empty() ? '\0' : line.front();
        SF_EXT_CHECK((type == 'D') || (type == 'C') || (type == 'E'),
                     "(type == 'D') || (type == 'C') || (type == 'E')");
        line.remove_prefix(1);
        set.SetType(type == 'C' ? VariableSet::eMultipleCategories : VariableSet::eMultipleDichotomies);
        if (type == 'E') {
            const char blank = line.empty() ? '\0' : line.front();
            SF_EXT_CHECK(blank == ' ', "blank == ' '");
            line.remove_prefix(1);
            set.SetFlags(std::string(TakeToken(line)));
            TakeBlank(line);
        }
        if (type != 'C') {
            const size_t length = ReadLength(TakeToken(line));
            SF_EXT_CHECK(length != 0, "length != 0");
            TakeBlank(line);
            SF_EXT_CHECK(length <= line.size(), "length <= line.size()");
            set.SetValue(std::string(line.substr(0, length)));
            line.remove_prefix(length);
        }
        TakeBlank(line);
        const std::string_view strLabelLength = TakeToken(line);
        const size_t length = ReadLength(strLabelLength);
        SF_EXT_CHECK((length != 0) || (!strLabelLength.empty() && strLabelLength[0] == '0'),
                     "(length != 0) || (strLabelLength[0] == '0')");
        TakeBlank(line);
        SF_EXT_CHECK(length <= line.size(), "length <= line.size()");
        set.SetLabel(std::string(line.substr(0, length)));
        line.remove_prefix(length);
        TakeBlank(line);
    }

    while (!line.empty()) {
        const std::string_view variable = TakeToken(line);
        if (!variable.empty()) set.AddVariableName(std::string(variable));
        if (!line.empty()) line.remove_prefix(1);
    }
}

std::string SetLine(const VariableSet& set) {
    // Names that would read back as another name or another kind of set.
    const std::string& name = set.GetName();
    SF_EXT_CHECK(name.find_first_of("=\r\n") == std::string::npos, "vset.GetName() has no '=' or line break");
    SF_EXT_CHECK(set.GetType() != VariableSet::eVariableSet || name[0] != '$',
                 "plain set name does not begin with '$'");
    std::string line = name;
    if (set.GetType() != VariableSet::eVariableSet) {
        SF_EXT_CHECK(name[0] == '$', "vset.GetName()[0] == '$'");
        const std::string label = OneLine(set.GetLabel());
        if (set.GetType() == VariableSet::eMultipleCategories) {
            line += "=C " + std::to_string(label.size()) + ' ' + label;
        } else {
            SF_EXT_CHECK(set.GetValue().size() > 0, "vset.GetValue().size() > 0");
            const std::string value = OneLine(set.GetValue());
            if (set.IsEnhancedDichotomy())
                line += "=E " + set.GetFlags() + ' ';
            else
                line += "=D";
            line += std::to_string(value.size()) + ' ' + value + ' ';
            if (set.LabelSetByVariable())
                line += "0 ";
            else
                line += std::to_string(label.size()) + ' ' + label;
        }
    } else {
        line += '=';
    }
    line += ' ';
    const std::vector<std::string>& variables = set.GetVariableNames();
    for (size_t i = 0; i < variables.size(); ++i) {
        if (i) line += ' ';
        line += variables[i];
    }
    line += '\n';
    return line;
}

void MakeSetRecord(const std::vector<VariableSet>& sets, std::string& text, int subtype) {
    for (const VariableSet& set : sets) {
        bool wanted = false;
        switch (subtype) {
            case SysFileLayout::kExtVariableSets: wanted = set.GetType() == VariableSet::eVariableSet; break;
            case SysFileLayout::kExtMultipleResponseSets:
                wanted = set.GetType() == VariableSet::eMultipleCategories ||
                         (set.GetType() == VariableSet::eMultipleDichotomies && !set.IsEnhancedDichotomy());
                break;
            case SysFileLayout::kExtEnhancedMRSets: wanted = set.IsEnhancedDichotomy(); break;
            default: return;
        }
        if (wanted) text += SetLine(set);
    }
}

void ParseSetRecord(const char* text, size_t length, int subtype, std::vector<VariableSet>& sets) {
    const std::string_view all(text, text ? length : 0);
    // First list entry of each upper-cased name, and the names of this record.
    std::unordered_map<std::string, size_t> firstByUpper;
    for (size_t i = 0; i < sets.size(); ++i) firstByUpper.emplace(VESKMBUpper(sets[i].GetName()), i);
    std::unordered_set<std::string> namesInRecord;

    size_t pos = 0;
    while (all.size() - pos > 1) {
        const size_t feed = all.find('\n', pos);
        const size_t end = feed == std::string_view::npos ? all.size() : feed;
        std::string line(all.substr(pos, end - pos));
        pos = feed == std::string_view::npos ? all.size() : feed + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() <= 1) continue;
        if (subtype == SysFileLayout::kExtMultipleResponseSets && line[0] != '$') line.insert(0, 1, '$');

        VariableSet set;
        ParseSetLine(line, set);
        std::string upper = VESKMBUpper(set.GetName());
        if (namesInRecord.insert(set.GetName()).second) {
            firstByUpper.emplace(std::move(upper), sets.size());
            sets.push_back(std::move(set));
            continue;
        }
        const auto first = firstByUpper.find(upper);
        if (first != firstByUpper.end()) {
            sets[first->second] = std::move(set);
        } else {
            firstByUpper.emplace(std::move(upper), sets.size());
            sets.push_back(std::move(set));
        }
    }
}
