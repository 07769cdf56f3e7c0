// Reference-counted bodies and the handle that shares them copy-on-write.
#pragma once

#include "vesk_assert.h"
#include "vesk_export.h"

// Base of shared bodies. A new object holds no reference; the first
// RefCountPtr takes it. The object deletes itself when the last reference goes.
// Counts are not locked: bodies are used by one thread at a time.
class VESK_EXPORT VESK_RefCntObject {
public:
    virtual ~VESK_RefCntObject() = default;

    void AddReference() { ++fRefCount; }
    void RemoveReference() {
        if (--fRefCount == 0) delete this;
    }
    int IsShared() const { return fRefCount > 1; }
    int IsShareable() const { return fShareable; }
    void MarkUnshareable() { fShareable = false; }
    int RefCount() const { return fRefCount; }

protected:
    VESK_RefCntObject() = default;
    // A copy is a new object: no references, shareable.
    VESK_RefCntObject(const VESK_RefCntObject&) : fRefCount(0), fShareable(true) {}
    VESK_RefCntObject& operator=(const VESK_RefCntObject&) { return *this; }

private:
    int fRefCount = 0;
    bool fShareable = true;
};

// One-pointer handle over a body derived from VESK_RefCntObject (or any class
// with the same AddReference/RemoveReference/IsShared/IsShareable operations).
// Assigning a body that is not shareable takes a fresh copy of it instead.
template <class T>
class RefCountPtr {
public:
    RefCountPtr(T* body = nullptr) : fBody(body) { Init(); }
    RefCountPtr(const RefCountPtr& other) : fBody(other.fBody) { Init(); }
    RefCountPtr(RefCountPtr&& other) noexcept : fBody(other.fBody) { other.fBody = nullptr; }
    ~RefCountPtr() {
        if (fBody) fBody->RemoveReference();
    }

    RefCountPtr& operator=(const RefCountPtr& other) { return Assign(other.fBody); }
    RefCountPtr& operator=(T* body) { return Assign(body); }
    RefCountPtr& operator=(RefCountPtr&& other) noexcept {
        if (this != &other) {
            T* old = fBody;
            fBody = other.fBody;
            other.fBody = nullptr;
            if (old) old->RemoveReference();
        }
        return *this;
    }

    // Makes this handle the only holder of its body, copying the body when
    // it is shared, and returns it.
    T* Unshared() {
        if (fBody && fBody->IsShared()) {
            T* copy = new T(*fBody);
            copy->AddReference();
            fBody->RemoveReference();
            fBody = copy;
        }
        return fBody;
    }

    T* get() const { return fBody; }
    T* operator->() const { return fBody; }
    T& operator*() const { return *fBody; }
    bool IsValid() const { return fBody != nullptr; }

    bool operator==(const RefCountPtr& o) const { return fBody == o.fBody; }
    bool operator!=(const RefCountPtr& o) const { return fBody != o.fBody; }
    bool operator==(const T* p) const { return fBody == p; }
    bool operator!=(const T* p) const { return fBody != p; }

private:
    void Init() {
        if (!fBody) return;
        if (!fBody->IsShareable()) fBody = new T(*fBody);
        fBody->AddReference();
    }
    RefCountPtr& Assign(T* body) {
        if (body == fBody) return *this;
        T* old = fBody;
        fBody = body;
        Init();
        if (old) old->RemoveReference();
        return *this;
    }

    T* fBody;
};
