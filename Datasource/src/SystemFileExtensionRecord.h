// Extension records (type 7) of the system file: the in-memory record, the
// handler interface, the process-wide registry of handlers by subtype, and the
// two dispatch operations the reader and the writer call.
//
// A subtype with a registered handler is decoded into the dictionary (reading)
// or built from it (writing); any other subtype travels as a raw extension
// block of the data source and is written back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "SystemFileException.h"
#include "SystemFileOptions.h"
#include "byteorder.h"
#include "datasrc.h"

// One extension record in memory: a flat array of units. The record owns its
// contents; they stay null until first allocated.
class SystemFileExtensionRecord {
public:
    SystemFileExtensionRecord() = default;
    SystemFileExtensionRecord(const SystemFileExtensionRecord&) = delete;
    SystemFileExtensionRecord& operator=(const SystemFileExtensionRecord&) = delete;
    ~SystemFileExtensionRecord() = default;

    int32_t NUnits() const { return m_nUnits; }
    int32_t UnitSize() const { return m_unitSize; }
    // Only while the contents are still null.
    void SetNUnits(int32_t n);
    void SetUnitSize(int32_t size);
    // No units: the writer does not emit the record.
    bool IsEmpty() const { return m_nUnits == 0; }
    // Number of units x unit size, 0 when either is not positive.
    size_t ByteSize() const;

    // The payload, null until allocated.
    const unsigned char* Contents() const { return m_pContents.get(); }
    // The payload for writing, allocated (zero-filled) on first use; both the
    // number of units and the unit size must be set (positive) by then.
    unsigned char* GetContents();
    // Copies ByteSize() bytes from source into the payload.
    void SetContents(const void* source);

    // ---- conveniences for handlers
    // The payload as text (unit size 1); empty without contents.
    std::string Text() const;
    // Unit i read in the given byte order; the unit size must match and i must
    // lie within the record (callers check the record's shape first).
    int32_t Int32At(int32_t i, ByteOrder order) const;
    int64_t Int64At(int32_t i, ByteOrder order) const;
    double DoubleAt(int32_t i, ByteOrder order) const;
    // Replace a record that is still unallocated by units in machine order.
    void SetText(const std::string& text);
    void SetInt32s(const int32_t* values, int32_t n);
    void SetInt64s(const int64_t* values, int32_t n);
    void SetDoubles(const double* values, int32_t n);

private:
    std::unique_ptr<unsigned char[]> m_pContents;
    int32_t m_nUnits = 0;
    int32_t m_unitSize = 0;
};

class SystemFileWriterContext;

// Decodes and builds the records of one subtype. Handlers hold no data: one
// static instance of each serves every reader and writer at once.
class SystemFileExtensionHandler {
public:
    // Fills the record from the dictionary being written; leaves it empty when
    // there is nothing to write. writer is the writer whose private copy source
    // is, or null when source is any other data source: handlers that need the
    // options of the file being written, or change the copy, do so through it.
    virtual void BuildRecord(const VESK_DataSource& source, SystemFileWriterContext* writer,
                             SystemFileExtensionRecord& rec) = 0;
    // Validates the record and stores what it carries into the dictionary being
    // read or into the reader's options. A malformed record raises
    // SystemFileException 1204 with the failed condition's text.
    virtual void ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                             const SystemFileExtensionRecord& rec) = 0;

protected:
    ~SystemFileExtensionHandler() = default;
};

// The writer of a file as the handlers building its records see it.
//
// The writer works on a private copy of the caller's dictionary and builds the
// records from the highest subtype down. Handlers change the copy on purpose,
// so that the records built after them (lower subtypes, then the variable and
// value-label records) see the change: 22 and 21 strip the missing values and
// value labels of strings wider than 8 bytes, 18 moves measurement levels 4
// and 5 into an attribute, 14 assigns the short names and splits the very
// long strings into segments, 13 renames every variable to its short name.
class SystemFileWriterContext {
public:
    // The writer's private copy of the dictionary.
    virtual VESK_DataSource& WriterDictionary() = 0;
    // The options of the file being written (case count, character code,
    // encoding, long-name table).
    virtual SystemFileOptions& WriterOptions() = 0;
    // The (long name, short name) table in the options, filled on first use:
    // one unique short name of at most 8 bytes per variable of the copy. A
    // variable for which no short name can be formed raises VeskError 1504.
    virtual std::vector<std::pair<std::string, std::string>>& AssignShortNames() = 0;
    // Replaces each very long string variable (index, width) of the copy, in
    // ascending index order, by its segments, and readies the writing of cases
    // for that layout.
    virtual void SplitVeryLongStrings(const std::vector<std::pair<int, int>>& strings) = 0;

protected:
    ~SystemFileWriterContext() = default;
};

// Highest subtype the registry accepts and the reader keeps as a raw block.
constexpr int kMaxExtensionSubtype = 4095;

// Stores the handler for the subtype (0..kMaxExtensionSubtype), replacing an
// earlier one; null removes it. The handler is not owned and must live until
// process end. The library's own handlers are registered before the first
// registration or dispatch.
void RegisterExtensionHandler(int subtype, SystemFileExtensionHandler* handler);
// The handler registered for the subtype, or null.
SystemFileExtensionHandler* FindExtensionHandler(int subtype);

// Write dispatch: the subtype's handler builds the record; without one, a raw
// block of that subtype on the source is copied into the record; otherwise the
// record stays empty. The record must be empty on entry. writer, when given,
// is the writer whose private copy source is (see BuildRecord).
void WriteExtensionRecord(int subtype, const VESK_DataSource& source, SystemFileExtensionRecord& rec,
                          SystemFileWriterContext* writer = nullptr);

// Read dispatch, in file order: the subtype's handler applies the record;
// without one the record is kept whole as a raw extension block of the target
// (records of a negative subtype or one above kMaxExtensionSubtype are
// dropped). Sets the subtype's bit in the options' extension-found set.
void ReadExtensionRecord(int subtype, VESK_DataSource& target, SystemFileOptions& options,
                         const SystemFileExtensionRecord& rec);
