// Value labels: (value, label) pairs in a shared, reference-counted body.
//
// A variable holds its value labels as a VESK_VLImplPointer; many variables may
// share one body. VESK_ValueLabelMap is the handle through which pairs are added,
// looked up and iterated; every change unshares the body first, so a change made
// through one handle never shows through another. Body reference counts are
// locked because the host shares bodies between threads; nothing else here is.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "obs.h"
#include "refcount.h"
#include "textmb.h"
#include "vesk_export.h"

// Reference-counted base whose count and shareable flag are guarded by a lock.
// A new object (and a copy) holds no reference and is shareable; the object
// deletes itself when the last reference goes.
class VESK_EXPORT ThreadSafeRefCntObject {
public:
    virtual ~ThreadSafeRefCntObject() = default;

    void AddReference();
    // Deletes the object (after leaving the lock) when the count drops to 0.
    void RemoveReference();
    int IsShared() const;
    int IsShareable() const;
    void MarkUnshareable();
    int RefCount() const;

protected:
    ThreadSafeRefCntObject() = default;
    // A copy gets its own lock, no references and the shareable mark.
    ThreadSafeRefCntObject(const ThreadSafeRefCntObject&) {}
    // Assignment leaves lock, count and mark alone.
    ThreadSafeRefCntObject& operator=(const ThreadSafeRefCntObject&) { return *this; }

private:
    mutable CriticalSection fLock;
    int32_t fRefCount = 0;
    bool fShareable = true;
};

// One labelled value: 1 cell for numeric maps and strings up to 8 bytes,
// (type + 7) / 8 cells for longer strings.
struct VESK_EXPORT ValueLabel {
    std::vector<OBS> value;
    std::string label;
};

// The shared body: the map's type (0 numeric, else the string width) and its
// pairs, sorted by value with no value twice.
class VESK_EXPORT VESK_VLMapImpl : public ThreadSafeRefCntObject {
public:
    explicit VESK_VLMapImpl(int type);
    VESK_VLMapImpl(const VESK_VLMapImpl& other);
    VESK_VLMapImpl& operator=(const VESK_VLMapImpl& other);
    ~VESK_VLMapImpl() override;

    int Size() const { return int(fPairs.size()); }
    // The i-th pair in sorted order.
    const ValueLabel& operator[](int i) const;

    int GetType() const { return fType; }
    void SetType(int type) { fType = type; }
    // Number of cells of one value of this map.
    int Cells() const { return CellsForType(fType); }

    // Inserts the value at its sorted place, or replaces the label of the pair
    // with the same value (bit for bit). `value` holds Cells() cells.
    void Insert(const OBS* value, const std::string& label);

    // The key by which cells are ordered: sorts like the cell's double, with
    // negative zero just below zero and NaNs beyond the infinities.
    static uint64_t CellKey(const OBS& cell) {
        return (cell.bits >> 63) ? ~cell.bits : cell.bits | (uint64_t(1) << 63);
    }
    // The pair whose value equals Cells() cells at `value` bit for bit, or null.
    const ValueLabel* Find(const OBS* value) const;

    const std::vector<ValueLabel>& Pairs() const { return fPairs; }

private:
    // Index of the first pair not smaller than value.
    size_t LowerBound(const OBS* value, size_t cells) const;

    int32_t fType;
    std::vector<ValueLabel> fPairs;
};

// Counted pointer to a map body, as stored in a variable; null means no value
// labels. Follows RefCountPtr: an unshareable body is copied before it is
// referenced, Unshared copies a body that has more than one reference.
class VESK_EXPORT VESK_VLImplPointer : public RefCountPtr<VESK_VLMapImpl> {
public:
    VESK_VLImplPointer(VESK_VLMapImpl* body = nullptr) : RefCountPtr<VESK_VLMapImpl>(body) {}
    VESK_VLImplPointer(const VESK_VLImplPointer&) = default;
    VESK_VLImplPointer& operator=(const VESK_VLImplPointer&) = default;
    VESK_VLImplPointer& operator=(VESK_VLMapImpl* body) {
        RefCountPtr<VESK_VLMapImpl>::operator=(body);
        return *this;
    }
    ~VESK_VLImplPointer() = default;

    // Orders by body address.
    bool operator<(const VESK_VLImplPointer& other) const;
};

// Handle over a map body (which may be null) with an optional iteration state.
// Label pointers returned by GetLabel and GetNextPair stay valid until the body
// is changed or released.
class VESK_EXPORT VESK_ValueLabelMap {
public:
    // A new empty body of that type.
    explicit VESK_ValueLabelMap(int type);
    // Shares the given body (null allowed).
    VESK_ValueLabelMap(const VESK_VLImplPointer& body);
    // Shares the other's body; its iteration state, if any, is copied.
    VESK_ValueLabelMap(const VESK_ValueLabelMap& other);
    VESK_ValueLabelMap& operator=(const VESK_ValueLabelMap& other);
    ~VESK_ValueLabelMap();

    // The body pointer itself (how a map is stored in a variable).
    operator VESK_VLImplPointer&() { return fpImpl; }
    operator const VESK_VLImplPointer&() const { return fpImpl; }

    // The body's type; requires a body.
    int Type() const;
    // Changes the type of a map with pairs (keeping them); otherwise gives the
    // map a new empty body of that type.
    void Type(int type);
    // Number of pairs, 0 without a body.
    unsigned Size() const;

    // Adds a pair or replaces the label of an equal value. `value` must hold the
    // map's cell count of cells. Requires a body.
    void AddPair(const OBS* value, std::string label);
    void AddPair(const double& value, std::string label);
    // The text, blank-padded to the map's cells.
    void AddPair(const std::string& value, const std::string& label);

    // The label of the value, or null (also without a body).
    const char* GetLabel(const OBS* value) const;
    const char* GetLabel(const double& value) const;
    const char* GetLabel(const std::string& value) const;

    // Starts an iteration at the first pair (does nothing without a body).
    void Reset() const;
    // Returns the next pair in sorted order and 1, or 0 at the end or without a
    // body. Reset must have been called.
    int GetNextPair(const OBS*& value, const char*& label) const;
    // The first cell as a double.
    int GetNextPair(double& value, const char*& label) const;
    // The first Type() bytes of the cells.
    int GetNextPair(std::string& value, const char*& label) const;

    // Same pairs in the same order (values bit for bit, labels byte for byte);
    // the types are not compared.
    int operator==(const VESK_ValueLabelMap& other) const;
    int operator!=(const VESK_ValueLabelMap& other) const { return !(*this == other); }

private:
    class VESK_NO_EXPORT Iter;
    // Fills a buffer of the map's cell count from a text or a double.
    std::vector<OBS> CellsOf(const std::string& text) const;
    std::vector<OBS> CellsOf(double value) const;
    const ValueLabel* NextPair() const;

    VESK_VLImplPointer fpImpl;
    mutable Iter* fIter = nullptr;  // owned; null until the first Reset
};

// Identifier of a registered map body: bits 4-31 the registry's counter, bits
// 0-3 its originator. All bits set means none.
class VESK_EXPORT VESK_VLMapID {
public:
    static constexpr uint32_t kNone = 0xFFFFFFFFu;

    VESK_VLMapID() = default;
    explicit VESK_VLMapID(uint32_t value) : fValue(value) {}

    static VESK_VLMapID None() { return VESK_VLMapID(); }
    bool IsNone() const { return fValue == kNone; }
    uint32_t Value() const { return fValue; }

    bool operator==(const VESK_VLMapID& o) const { return fValue == o.fValue; }
    bool operator!=(const VESK_VLMapID& o) const { return fValue != o.fValue; }

private:
    uint32_t fValue = kNone;
};

// Process-wide table of (map body, id) entries in insertion order, giving bodies
// a stable identifier the host can find them by. Each entry holds a reference to
// its body. The table is not locked: the host uses it from one thread at a time.
class VESK_EXPORT VESK_VLMapRegistry {
public:
    // Appends (map, id), making a new id when id is none; returns the id used.
    static VESK_VLMapID Add(const VESK_VLImplPointer& map, VESK_VLMapID id = VESK_VLMapID());
    // The map of the first entry with that id; null for none or when absent.
    static VESK_VLImplPointer GetMap(const VESK_VLMapID& id);
    // The id of the first entry holding that very body; none when absent.
    static VESK_VLMapID GetID(const VESK_VLImplPointer& map);
    // Gives the first entry holding that body the new id; the body must be registered.
    static void SetID(const VESK_VLImplPointer& map, VESK_VLMapID id);
    // Drops every entry whose body is held by that entry alone, keeping the order.
    static void CollectGarbage();
    // The originator (low 4 bits) of the ids made from now on.
    static void SetOriginator(unsigned originator);
    // Number of entries (for the host's diagnostics).
    static size_t Count();
};
