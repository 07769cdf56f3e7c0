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

#include "datasrc.h"
#include "sysfilelayout.h"

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
    int32_t Int32At(int32_t i, SysFileLayout::ByteOrder order) const;
    int64_t Int64At(int32_t i, SysFileLayout::ByteOrder order) const;
    double DoubleAt(int32_t i, SysFileLayout::ByteOrder order) const;
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

// Decodes and builds the records of one subtype. Handlers hold no data: one
// static instance of each serves every reader and writer at once.
class SystemFileExtensionHandler {
public:
    // Fills the record from the dictionary being written; leaves it empty when
    // there is nothing to write. Handlers that need the options of the file
    // being written reach them through SystemFileWriterContext.
    virtual void BuildRecord(const VESK_DataSource& source, SystemFileExtensionRecord& rec) = 0;
    // Validates the record and stores what it carries into the dictionary being
    // read or into the reader's options. A malformed record raises
    // SystemFileException 1204 with the failed condition's text.
    virtual void ApplyRecord(VESK_DataSource& target, SystemFileOptions& options,
                             const SystemFileExtensionRecord& rec) = 0;

protected:
    ~SystemFileExtensionHandler() = default;
};

// Implemented by the writer's private data source so that handlers building
// records reach the options of the file being written (case count, character
// code, encoding, long-name table). A source that is not a writer has none.
class SystemFileWriterContext {
public:
    virtual SystemFileOptions& WriterOptions() const = 0;

protected:
    ~SystemFileWriterContext() = default;
};

// The options of the file being written from source, or null when source is
// not a writer's data source.
SystemFileOptions* WriterOptionsOf(const VESK_DataSource& source);

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
// record stays empty. The record must be empty on entry.
void WriteExtensionRecord(int subtype, const VESK_DataSource& source, SystemFileExtensionRecord& rec);

// Read dispatch, in file order: the subtype's handler applies the record;
// without one the record is kept whole as a raw extension block of the target
// (records of a negative subtype or one above kMaxExtensionSubtype are
// dropped). Sets the subtype's bit in the options' extension-found set.
void ReadExtensionRecord(int subtype, VESK_DataSource& target, SystemFileOptions& options,
                         const SystemFileExtensionRecord& rec);
