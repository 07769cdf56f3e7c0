// The data source: an ordered dictionary of variables plus everything else that
// describes a dataset, the case layout derived from it, and the factory of case
// iterators that every concrete source supplies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Attributes.h"
#include "DataEditorFormattingInfo.h"
#include "SortIndexInfo.h"
#include "obs.h"
#include "refcount.h"
#include "textmb.h"
#include "trendsinfo.h"
#include "variable.h"
#include "variableset.h"
#include "vesk_export.h"

class VESK_InputCaseIterator;
struct VESK_DataSourcePrivate;

// A typed byte block kept by a data source (extension records of the system
// file; type 0 holds the document lines). Shared between copies of a source and
// copied on the first write.
class VESK_EXPORT VESK_ExtensionImpl : public VESK_RefCntObject {
public:
    // Empty content, subtype 0, element size 1.
    VESK_ExtensionImpl();
    // Content is the first elementSize * nElements bytes of content.
    VESK_ExtensionImpl(int subtype, int elementSize, long nElements, const void* content);
    VESK_ExtensionImpl(const VESK_ExtensionImpl& other);
    VESK_ExtensionImpl& operator=(const VESK_ExtensionImpl& other);
    ~VESK_ExtensionImpl() override;

    int Subtype() const { return fSubtype; }
    int ElementSize() const { return fElementSize; }
    // Content length in bytes.
    long Length() const { return long(fContent.size()); }
    const std::string& Elements() const { return fContent; }
    const char* Content() const { return fContent.data(); }
    // Appends n elements (n * element size bytes) from data.
    void append(long n, const void* data);
    // The last four content bytes as a little-endian 32-bit number; 0 when
    // the content is shorter.
    long Hash() const;

private:
    int32_t fSubtype = 0;
    int32_t fElementSize = 1;
    std::string fContent; // a multiple of the element size
};

class VESK_EXPORT VESK_DataSource {
public:
    using ExtensionPtr = RefCountPtr<VESK_ExtensionImpl>;

    // A handle over an extension block with a read position counted in elements.
    class Extension {
    public:
        // Shares the source's block of that type when it has one; otherwise a
        // new empty block of that type with element size 1.
        Extension(const VESK_DataSource& source, int type);
        // Wraps the block (may be null).
        explicit Extension(const ExtensionPtr& block);

        int Type() const;          // -1 without a block
        int ElementSize() const;   // 0 without a block
        long Length() const;       // number of elements; 0 without a block
        std::string Elements() const;
        const ExtensionPtr& Impl() const { return fImpl; }

        // Copies the next elements, at most maxBytes bytes of whole elements,
        // into buffer and advances; returns the number of elements copied.
        long GetNext(void* buffer, long maxBytes);

        // Blocks compare by subtype and content.
        friend VESK_EXPORT bool operator==(const Extension& a, const Extension& b);
        friend bool operator!=(const Extension& a, const Extension& b) { return !(a == b); }

    private:
        ExtensionPtr fImpl;
        int32_t fPosition = 0;
    };

    // Told of every iterator made on a source it is registered with.
    class Observer {
    public:
        Observer() = default;
        Observer(const Observer&) {}
        Observer& operator=(const Observer&) { return *this; }
        virtual ~Observer() = default;
        virtual void IteratorMade(VESK_InputCaseIterator* iterator) {}
    };

    enum { eMaxSplitVars = 8 };

    // With a parent, starts as a copy of the parent's dictionary (variable
    // bodies and extension blocks shared) and links to it; the parent is not
    // owned and must outlive this source. Without one, an empty dictionary
    // stamped with the current time.
    explicit VESK_DataSource(const VESK_DataSource* parent = nullptr);
    VESK_DataSource& operator=(const VESK_DataSource&) = delete;

    // Frees the private data; parent and observers are not touched.
    virtual ~VESK_DataSource();
    virtual unsigned GetNSplitVars() const;
    virtual int GetSplitVarIndex(unsigned index) const;
    virtual LocallyUniqueID GetSplitVarID(unsigned index) const;
    virtual bool GetSplitqSeparate() const;
    // The caller owns the returned iterator, deletes it before this source and
    // keeps the buffer (null: the iterator's case allocates one) alive with it.
    virtual VESK_InputCaseIterator* MakeIterator(OBS* buffer) const = 0;
    // Cells of a whole case.
    virtual unsigned GetObsAreaSize() const;
    // -1: unknown.
    virtual int64_t RowCount() const;
    virtual bool IsLoaded() const;
    // Length of the parent chain above this source.
    virtual int NParents() const;

    // Replaces the whole dictionary and every other property by other's,
    // keeping this source's own parent link and clearing the file specification.
    void CopyDictionary(const VESK_DataSource& other);

    static double SystemMissing();
    static double LowNumber();
    static double HighNumber();

    // ---- dictionary
    unsigned ColumnCount() const;
    // The reference stays valid until the next insertion or deletion.
    VESK_Variable& GetVariable(int index);
    const VESK_Variable& GetVariable(int index) const;
    // Appends a handle sharing var's body. No name check and no new id.
    VESK_Variable& MakeVariable(const VESK_Variable& var, unsigned* index = nullptr);
    VESK_Variable& MakeVariable(int type, unsigned* index = nullptr);
    // The new variable gets column varAfter; later ones move up by one.
    VESK_Variable& InsertVariable(long varAfter, const VESK_Variable& var);
    // Replaces column index by var, which must have the same id.
    void SetVariable(long index, const VESK_Variable& var);
    // Removes columns start..finish inclusive; an empty range (finish = start-1
    // or negative finish) does nothing.
    void DeleteVariables(int start, int finish);
    // Case-insensitive, ignoring trailing blanks of name; searches from start
    // to the end, then from 0 up to start-1. -1 when not found.
    int FindVarIndex(const char* name, int start = 0) const;
    int FindVarIndex(LocallyUniqueID id) const;
    // A legal variable name, based on the first 64 bytes of name, that no
    // variable of this source has.
    std::string GoodVarName(const std::string& name);

    // ---- layout
    // First cell of a column; -1 for column -1, total cells for ColumnCount.
    int ObsIndex(int var_index) const;
    // Sets nVars columns from firstVar to system-missing or blanks.
    void InitCells(OBS* cells, unsigned firstVar, unsigned nVars) const;
    // Cells of the last variable (0 for an empty dictionary).
    unsigned LastVarCells() const;

    // ---- weight, filter, split (held as variable ids)
    void SetWeightVar(int column);
    int GetWeightVarIndex() const;
    LocallyUniqueID GetWeightVariableID() const;
    void SetFilterVar(int column);
    int GetFilterVarIndex() const;
    LocallyUniqueID GetFilterVariableID() const;
    void SetSplit(unsigned nVars, const int* varIndexes, bool separate);

    // ---- other properties
    void SetLabel(const char* label);
    const char* GetLabel() const; // null when there is no label
    void SetFileSpec(const char* spec);
    void SetFileSpec(const ExtNameStr& spec);
    const char* GetFileSpec() const;
    const ExtNameStr& GetFileSpecExt() const;
    void SetTimestamp();
    void SetTimestamp(double timestamp);
    double GetTimestamp() const;
    void SetAttributes(const DatasourceAttributes& attributes);
    const DatasourceAttributes& GetAttributes() const;
    void SetDEFormattingInfo(const DataEditorFormattingInfo& info);
    DataEditorFormattingInfo& GetDEFormattingInfo() const;
    void SetDirty(bool dirty);
    bool IsDirty() const;
    void SetIndexValid(bool valid);
    bool IsIndexValid() const;
    void RowsPerImputation(int64_t rows);
    int64_t RowsPerImputation() const;
    void SetSortIndexInfo(const SortIndexInfo& info);
    SortIndexInfo GetSortIndexInfo() const;
    void SetVariableSets(const std::vector<VariableSetImpl>& sets);
    std::vector<VariableSetImpl> GetVariableSets() const;
    void SetMRSets(const std::vector<VariableSetImpl>& sets);
    std::vector<VariableSetImpl> GetMRSets() const;
    VESK_TrendsInfo& GetTrendsInfo() const;
    // The parent is not owned.
    void SetParentSource(const VESK_DataSource* parent);
    const VESK_DataSource* GetParentSource() const;

    // ---- extensions
    void SetExtension(int type, int elementSize, long nElements, const void* content);
    void SetExtension(int type, Extension ext);
    void SetExtension(const Extension& ext);
    void ExtendExtension(int type, long nElements, const void* data);
    bool HasExtension(int type) const;
    long ExtensionHash(int type) const;
    int MaxExtensionType() const;

    // ---- observers (not owned; unregister before an observer goes)
    void Register(Observer* observer) const;
    void UnRegister(Observer* observer) const;

protected:
    // Copies the other source's private data, parent link and flags included.
    VESK_DataSource(const VESK_DataSource& other);

private:
    friend class VESK_InputCaseIterator;
    // Tells every registered observer, in registration order.
    void IteratorMade(VESK_InputCaseIterator* iterator) const;

    // Layout maintenance (dsobs).
    void LayoutInsert(unsigned p, unsigned cells);
    void LayoutChange(unsigned p, int delta);
    void LayoutDelete(unsigned start, unsigned finish);

    std::unique_ptr<VESK_DataSourcePrivate> pData;
};

// Deletes source and then each parent up the chain; null does nothing.
VESK_EXPORT void DeleteLine(const VESK_DataSource* source);
