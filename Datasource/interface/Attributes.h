// Custom attributes: an ordered collection of named, multi-valued text
// properties carried by variables and by data sources.
//
// Names are unique ignoring case (multibyte-aware, current encoding); the order
// is the order of first definition. The collection has a compact text form
// (MakeString / Parse) that the system file stores in its attribute records.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vesk_export.h"

// Registered reserved ("$"-prefixed) attribute names; null-terminated tables.
extern VESK_EXPORT const char* const RegisteredVariableAttributeNames[];
extern VESK_EXPORT const char* const RegisteredDatafileAttributeNames[];

class VESK_EXPORT DatasourceAttributes {
public:
    // Verdict of the attribute-name validators.
    enum NameType {
        InvalidName = 0,           // not a valid attribute name
        ValidName = 1,             // an ordinary valid name
        RegisteredReserved = 2,    // "$"-prefixed and in the registered table
        UnregisteredReserved = 3,  // "$"-prefixed and not in the registered table
    };

    DatasourceAttributes();
    // Takes the other's version; copying a collection with storage adds 1.
    DatasourceAttributes(const DatasourceAttributes& other);
    // Self-assignment does nothing; any other assignment adds 1 to the version.
    DatasourceAttributes& operator=(const DatasourceAttributes& other);
    ~DatasourceAttributes();

    // Number of attributes.
    uint64_t Size() const;
    // Name and (a copy of the) values of attribute k; k < Size() is asserted.
    std::string Name(uint64_t k) const;
    std::vector<std::string> Values(uint64_t k) const;
    // Values of the attribute whose name matches ignoring case; empty if none.
    std::vector<std::string> Values(const std::string& name) const;
    // Position of the attribute whose name matches ignoring case, or -1.
    int Index(const std::string& name) const;

    // Replaces (name spelling and values, in place) the attribute whose name
    // matches ignoring case, or appends a new one. Empty value lists are stored.
    void Define(const std::string& name, const std::vector<std::string>& values);
    // Removes attribute k (asserted k < Size()), keeping the order of the rest.
    void Delete(uint64_t k);
    // Removes the attribute whose name matches ignoring case; false if none.
    bool Delete(const std::string& name);
    // Marks the collection changed: creates the (empty) storage, adds 1 to the version.
    void Change();
    // Change counter; rises on every Define, Delete, Change and assignment.
    uint64_t Version() const;

    // Defines every attribute of other that this collection lacks; with replace,
    // also redefines those whose values differ. Returns whether anything was defined.
    bool Merge(const DatasourceAttributes& other, bool replace);

    // Same attributes in the same order, names and values compared byte for byte.
    // A collection without storage equals only another without storage.
    bool operator==(const DatasourceAttributes& other) const;
    bool operator!=(const DatasourceAttributes& other) const { return !(*this == other); }

    static NameType ValidateVarAttrName(const std::string& name);
    static NameType ValidateFileAttrName(const std::string& name);

    // Text form: for each attribute with values, name "(" then per value
    // "'" value "'" LF, then ")". Line feeds inside values are left out.
    std::string MakeString() const;

    // Parses one block of the text form, ending at the end of the text or at a
    // "/". On success assigns the result to out; on failure returns false and
    // leaves out unchanged. Attributes with invalid names are dropped. When
    // consumed is not null it receives the position where parsing stopped.
    static bool Parse(const char* text, uint64_t length, DatasourceAttributes& out,
                      uint64_t* consumed = nullptr);
    static bool Parse(const std::string& text, DatasourceAttributes& out, uint64_t* consumed = nullptr);

private:
    struct Attribute {
        std::string name;
        std::vector<std::string> values;
    };
    using Storage = std::vector<Attribute>;

    std::unique_ptr<Storage> fStorage;  // null until the first change
    uint64_t fVersion = 0;
};
