#define VESK_SOURCE_NAME "Datasource/src/Attributes"
#include "Attributes.h"

#include <cstring>
#include <map>

#include "names.h"
#include "textmb.h"
#include "vesk_assert.h"

const char* const RegisteredVariableAttributeNames[] = {
    "$CreationDate", "$ExtendedVariableLabel", "$ModificationDate", "$VD.SRuleRef", "$VD.RuleOutcomeVar",
    "$TR.Formula",   "$TR.Timestamp",          "$ODBC.Name",        "$ODBC.Table",  "$ODBC.Schema",
    "$ODBC.Catalog", "$ODBC.Size",             "$ODBC.Type",        "$Py.Function", "$@Role",
    "$@MeasurementLevel", nullptr};

const char* const RegisteredDatafileAttributeNames[] = {
    "$CreationDate", "$ExtendedFileLabel", "$ModificationDate", "$VD.SRule",
    "$VD.CRule",     "$TR.Formula",        "$TR.Timestamp",     "$de.displayedattributes",
    "$@Quorvance.MDDFile", "$VariableView", "$VariableView2", nullptr};

namespace {

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
    return VESKMBqstricmp_A(a.c_str(), a.size(), b.c_str(), b.size()) != 0;
}

DatasourceAttributes::NameType ValidateAttrName(const std::string& name, const char* const* registered) {
    // A name with an embedded NUL is never valid.
    if (name.find('\0') != std::string::npos) return DatasourceAttributes::InvalidName;
    switch (ValidateVESKNameCheckLastChar(name.c_str())) {
    case VESKNameLegal:
        return DatasourceAttributes::ValidName;
    case VESKNameSystem:
        for (const char* const* entry = registered; *entry != nullptr; ++entry) {
            if (VESKMBqstricmp_A(name.c_str(), name.size(), *entry, std::strlen(*entry)))
                return DatasourceAttributes::RegisteredReserved;
        }
        return DatasourceAttributes::UnregisteredReserved;
    default:
        return DatasourceAttributes::InvalidName;
    }
}

}  // namespace

DatasourceAttributes::DatasourceAttributes() = default;

DatasourceAttributes::DatasourceAttributes(const DatasourceAttributes& other) : fVersion(other.fVersion) {
    if (other.fStorage) {
        fStorage = std::make_unique<Storage>(*other.fStorage);
        ++fVersion;
    }
}

DatasourceAttributes& DatasourceAttributes::operator=(const DatasourceAttributes& other) {
    if (this == &other) return *this;
    if (other.fStorage) {
        if (!fStorage) fStorage = std::make_unique<Storage>();
        ++fVersion;
        *fStorage = *other.fStorage;
    } else {
        fStorage.reset();
        ++fVersion;
    }
    return *this;
}

DatasourceAttributes::~DatasourceAttributes() = default;

uint64_t DatasourceAttributes::Size() const { return fStorage ? fStorage->size() : 0; }

std::string DatasourceAttributes::Name(uint64_t k) const {
    VESK_ASSERT(k < Size());
    return (*fStorage)[k].name;
}

std::vector<std::string> DatasourceAttributes::Values(uint64_t k) const {
    VESK_ASSERT(k < Size());
    return (*fStorage)[k].values;
}

std::vector<std::string> DatasourceAttributes::Values(const std::string& name) const {
    int k = Index(name);
    if (k < 0) return {};
    return (*fStorage)[static_cast<size_t>(k)].values;
}

int DatasourceAttributes::Index(const std::string& name) const {
    if (!fStorage) return -1;
    for (size_t k = 0; k < fStorage->size(); ++k) {
        if (SameNameIgnoringCase((*fStorage)[k].name, name)) return static_cast<int>(k);
    }
    return -1;
}

void DatasourceAttributes::Define(const std::string& name, const std::vector<std::string>& values) {
    if (!fStorage) fStorage = std::make_unique<Storage>();
    ++fVersion;
    int k = Index(name);
    if (k >= 0) {
        Attribute& a = (*fStorage)[static_cast<size_t>(k)];
        a.name = name;
        a.values = values;
    } else {
        fStorage->push_back(Attribute{name, values});
    }
}

void DatasourceAttributes::Delete(uint64_t k) {
    VESK_ASSERT(k < Size());
    ++fVersion;
    fStorage->erase(fStorage->begin() + static_cast<std::ptrdiff_t>(k));
    if (fStorage->empty()) fStorage.reset();
}

bool DatasourceAttributes::Delete(const std::string& name) {
    int k = Index(name);
    if (k < 0) return false;
    Delete(static_cast<uint64_t>(k));
    return true;
}

void DatasourceAttributes::Change() {
    if (!fStorage) fStorage = std::make_unique<Storage>();
    ++fVersion;
}

uint64_t DatasourceAttributes::Version() const { return fVersion; }

bool DatasourceAttributes::Merge(const DatasourceAttributes& other, bool replace) {
    if (other.Size() == 0) return false;
    // Merging a collection into itself changes nothing; work from a copy so that
    // defining never disturbs the attributes being walked.
    const Storage source = *other.fStorage;
    bool defined = false;
    for (const Attribute& a : source) {
        int k = Index(a.name);
        if (k >= 0) {
            if (!replace || (*fStorage)[static_cast<size_t>(k)].values == a.values) continue;
        }
        Define(a.name, a.values);
        defined = true;
    }
    return defined;
}

bool DatasourceAttributes::operator==(const DatasourceAttributes& other) const {
    if (this == &other) return true;
    if (!fStorage || !other.fStorage) return !fStorage && !other.fStorage;
    const Storage& a = *fStorage;
    const Storage& b = *other.fStorage;
    if (a.size() != b.size()) return false;
    for (size_t k = 0; k < a.size(); ++k) {
        if (a[k].name != b[k].name || a[k].values != b[k].values) return false;
    }
    return true;
}

DatasourceAttributes::NameType DatasourceAttributes::ValidateVarAttrName(const std::string& name) {
    return ValidateAttrName(name, RegisteredVariableAttributeNames);
}

DatasourceAttributes::NameType DatasourceAttributes::ValidateFileAttrName(const std::string& name) {
    return ValidateAttrName(name, RegisteredDatafileAttributeNames);
}

std::string DatasourceAttributes::MakeString() const {
    std::string text;
    if (!fStorage) return text;
    size_t capacity = 0;
    for (const Attribute& a : *fStorage) {
        capacity += a.name.size() + 2;
        for (const std::string& v : a.values) capacity += v.size() + 3;
    }
    text.reserve(capacity);
    for (const Attribute& a : *fStorage) {
        if (a.values.empty()) continue;
        text += a.name;
        text += '(';
        for (const std::string& v : a.values) {
            text += '\'';
            for (char c : v) {
                if (c != '\n') text += c;
            }
            text += "'\n";
        }
        text += ')';
    }
    return text;
}

bool DatasourceAttributes::Parse(const char* text, uint64_t length, DatasourceAttributes& out,
                                 uint64_t* consumed) {
    VESK_ASSERT(text != nullptr || length == 0);
    DatasourceAttributes result;
    // Upper-cased names of the attributes defined so far, so that a text with
    // very many attributes parses in n log n rather than n squared.
    std::map<std::string, size_t> defined;
    uint64_t p = 0;
    bool ok = true;
    for (;;) {
        if (p >= length || text[p] == '/') break;

        const void* open = std::memchr(text + p, '(', length - p);
        if (open == nullptr) {
            ok = false;
            break;
        }
        const uint64_t paren = static_cast<uint64_t>(static_cast<const char*>(open) - text);
        if (paren == p || paren == length - 1) {
            ok = false;
            break;
        }
        const std::string name(text + p, paren - p);
        const int verdict =
            name.find('\0') == std::string::npos ? ValidateVESKNameCheckLastChar(name.c_str()) : VESKNameBadChar;
        const bool keep = verdict == VESKNameLegal || verdict == VESKNameSystem;
        p = paren + 1;

        // Values: 'text' LF each, up to the closing ")".
        std::vector<std::string> values;
        while (ok) {
            if (p >= length) {
                ok = false;
                break;
            }
            if (text[p] == ')') break;
            const void* lfp = std::memchr(text + p, '\n', length - p);
            const uint64_t lf = lfp ? static_cast<uint64_t>(static_cast<const char*>(lfp) - text) : length;
            if (text[p] != '\'' || lfp == nullptr || lf < p + 2 || text[lf - 1] != '\'' || lf == length - 1) {
                ok = false;
                break;
            }
            values.emplace_back(text + p + 1, lf - 1 - (p + 1));
            p = lf + 1;
        }
        if (!ok) break;
        if (keep && !values.empty()) {
            if (!result.fStorage) result.fStorage = std::make_unique<Storage>();
            ++result.fVersion;
            auto [at, fresh] = defined.emplace(VESKMBUpper(name), result.fStorage->size());
            if (fresh) {
                result.fStorage->push_back(Attribute{name, std::move(values)});
            } else {
                Attribute& a = (*result.fStorage)[at->second];
                a.name = name;
                a.values = std::move(values);
            }
        }
        ++p;  // past ")"
    }
    if (ok) out = result;
    if (consumed != nullptr) *consumed = p;
    return ok;
}

bool DatasourceAttributes::Parse(const std::string& text, DatasourceAttributes& out, uint64_t* consumed) {
    return Parse(text.data(), text.size(), out, consumed);
}
