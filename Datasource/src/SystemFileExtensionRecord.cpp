// Extension records: the record object, the handler registry and the read and
// write dispatch.
#define VESK_SOURCE_NAME "Datasource/src/SystemFileExtensionRecord"

#include "SystemFileExtensionRecord.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "SFExtensionHandlers.h"
#include "vesk_assert.h"

using namespace SysFileLayout;

// ------------------------------------------------------------------ record

void SystemFileExtensionRecord::SetNUnits(int32_t n) {
    VESK_ASSERT(m_pContents == 0);
    m_nUnits = n;
}

void SystemFileExtensionRecord::SetUnitSize(int32_t size) {
    VESK_ASSERT(m_pContents == 0);
    m_unitSize = size;
}

size_t SystemFileExtensionRecord::ByteSize() const {
    if (m_nUnits <= 0 || m_unitSize <= 0) return 0;
    return size_t(m_nUnits) * size_t(m_unitSize);
}

unsigned char* SystemFileExtensionRecord::GetContents() {
    if (!m_pContents) {
        VESK_ASSERT(m_nUnits && m_unitSize);
        VESK_ASSERT(m_nUnits > 0 && m_unitSize > 0);
        m_pContents = std::make_unique<unsigned char[]>(ByteSize());
    }
    return m_pContents.get();
}

void SystemFileExtensionRecord::SetContents(const void* source) {
    VESK_ASSERT(source != 0);
    std::memcpy(GetContents(), source, ByteSize());
}

std::string SystemFileExtensionRecord::Text() const {
    if (!m_pContents) return std::string();
    return std::string(reinterpret_cast<const char*>(m_pContents.get()), ByteSize());
}

int32_t SystemFileExtensionRecord::Int32At(int32_t i, ByteOrder order) const {
    VESK_ASSERT(m_unitSize == 4 && m_pContents);
    VESK_ASSERT(0 <= i && i < m_nUnits);
    return order.GetI32(m_pContents.get() + size_t(i) * 4);
}

int64_t SystemFileExtensionRecord::Int64At(int32_t i, ByteOrder order) const {
    VESK_ASSERT(m_unitSize == 8 && m_pContents);
    VESK_ASSERT(0 <= i && i < m_nUnits);
    return order.GetI64(m_pContents.get() + size_t(i) * 8);
}

double SystemFileExtensionRecord::DoubleAt(int32_t i, ByteOrder order) const {
    VESK_ASSERT(m_unitSize == 8 && m_pContents);
    VESK_ASSERT(0 <= i && i < m_nUnits);
    return order.GetF64(m_pContents.get() + size_t(i) * 8);
}

void SystemFileExtensionRecord::SetText(const std::string& text) {
    SetUnitSize(1);
    SetNUnits(int32_t(text.size()));
    if (!text.empty()) SetContents(text.data());
}

void SystemFileExtensionRecord::SetInt32s(const int32_t* values, int32_t n) {
    SetUnitSize(4);
    SetNUnits(n);
    if (n > 0) SetContents(values);
}

void SystemFileExtensionRecord::SetInt64s(const int64_t* values, int32_t n) {
    SetUnitSize(8);
    SetNUnits(n);
    if (n > 0) SetContents(values);
}

void SystemFileExtensionRecord::SetDoubles(const double* values, int32_t n) {
    SetUnitSize(8);
    SetNUnits(n);
    if (n > 0) SetContents(values);
}

// ------------------------------------------------------------------ registry

namespace {

// Indexed by subtype; null where no handler is registered. Filled once before
// first use and only read afterwards.
std::vector<SystemFileExtensionHandler*>& Registry() {
    static std::vector<SystemFileExtensionHandler*> registry;
    return registry;
}

void StoreHandler(int subtype, SystemFileExtensionHandler* handler) {
    VESK_ASSERT(0 <= subtype && subtype <= kMaxExtensionSubtype);
    std::vector<SystemFileExtensionHandler*>& registry = Registry();
    if (registry.size() <= size_t(subtype)) registry.resize(size_t(subtype) + 1, nullptr);
    registry[size_t(subtype)] = handler;
}

// The library's handlers. Listed here rather than registered by static objects
// of their own files, which the linker would drop from the static library.
void RegisterLibraryHandlers() {
    StoreHandler(kExtMachineIntegers, &SFExtensionSourceParametersInt::Instance());
    StoreHandler(kExtMachineFloats, &SFExtensionSourceParametersDouble::Instance());
    StoreHandler(kExtVariableSets, &SFExtensionVariableSets::Instance());
    StoreHandler(kExtTrendsInfo, &SFExtensionTrendsInfo::Instance());
    StoreHandler(kExtMultipleResponseSets, &SFExtensionOrigMrSets::Instance());
    StoreHandler(kExtDisplayParameters, &SFExtensionLWA::Instance());
    StoreHandler(kExtLongNames, &SFExtensionExtNames::Instance());
    StoreHandler(kExtVeryLongStrings, &SFExtensionExtStrings::Instance());
    StoreHandler(kExtCaseCount, &SFExtensionNCases::Instance());
    StoreHandler(kExtFileAttributes, &SFExtensionDatasetAttributes::Instance());
    StoreHandler(kExtVariableAttributes, &SFExtensionVariableAttributes::Instance());
    StoreHandler(kExtEnhancedMRSets, &SFExtensionEnhancedMRSets::Instance());
    StoreHandler(kExtEncoding, &SFExtensionEncoding::Instance());
    StoreHandler(kExtLongStringLabels, &SFExtensionVLExtStrings::Instance());
    StoreHandler(kExtLongStringMissing, &SFExtensionMVExtStrings::Instance());
    StoreHandler(kExtSortKeys, &SFExtensionSortCasesKey::Instance());
    StoreHandler(kExtDataEditorFormatting, &SFExtensionDEFormatting::Instance());
}

void EnsureLibraryHandlers() {
    static std::once_flag once;
    std::call_once(once, RegisterLibraryHandlers);
}

}  // namespace

void RegisterExtensionHandler(int subtype, SystemFileExtensionHandler* handler) {
    EnsureLibraryHandlers();
    StoreHandler(subtype, handler);
}

SystemFileExtensionHandler* FindExtensionHandler(int subtype) {
    EnsureLibraryHandlers();
    const std::vector<SystemFileExtensionHandler*>& registry = Registry();
    if (subtype < 0 || size_t(subtype) >= registry.size()) return nullptr;
    return registry[size_t(subtype)];
}

// ------------------------------------------------------------------ dispatch

void WriteExtensionRecord(int subtype, const VESK_DataSource& source, SystemFileExtensionRecord& rec,
                          SystemFileWriterContext* writer) {
    VESK_ASSERT(rec.Contents() == 0);
    VESK_ASSERT(writer == nullptr || &writer->WriterDictionary() == &source);
    if (SystemFileExtensionHandler* handler = FindExtensionHandler(subtype)) {
        handler->BuildRecord(source, writer, rec);
        return;
    }
    if (subtype < 0 || !source.HasExtension(subtype)) return;
    VESK_DataSource::Extension block(source, subtype);
    const long length = block.Length();
    if (length <= 0) return;
    rec.SetUnitSize(block.ElementSize());
    rec.SetNUnits(int32_t(length));
    const long got = block.GetNext(rec.GetContents(), long(rec.ByteSize()));
    VESK_ASSERT(got == length);
}

void ReadExtensionRecord(int subtype, VESK_DataSource& target, SystemFileOptions& options,
                         const SystemFileExtensionRecord& rec) {
    if (SystemFileExtensionHandler* handler = FindExtensionHandler(subtype)) {
        handler->ApplyRecord(target, options, rec);
    } else if (0 <= subtype && subtype <= kMaxExtensionSubtype) {
        // Kept whole; a subtype beyond the registry's range would make the data
        // source's block table as large as the number itself, so it is dropped.
        SF_EXT_CHECK(rec.UnitSize() > 0 && rec.NUnits() >= 0, "rec.UnitSize() > 0 && rec.NUnits() >= 0");
        VESK_ASSERT(rec.NUnits() == 0 || rec.Contents() != 0);
        target.SetExtension(subtype, rec.UnitSize(), rec.NUnits(), rec.NUnits() ? rec.Contents() : nullptr);
    }
    if (subtype >= 0 && size_t(subtype) < options._extensionFound.size()) options._extensionFound.set(size_t(subtype));
}
