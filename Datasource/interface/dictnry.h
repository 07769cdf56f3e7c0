// The positional view of a data source used by the analysis engine and the
// system-file reader: variables addressed by 1-based cell position, and whole
// case buffers read or written on a numbered logical unit.
#pragma once

#include <vector>

#include "obs.h"
#include "variable.h"
#include "vesk_export.h"

class VESK_DataSource;
class VESK_InputCaseIterator;

// An engine object guarding an input source; opaque here, deleted through its
// virtual destructor.
class VESK_EXPORT SvrDMInputDataSource {
public:
    virtual ~SvrDMInputDataSource() = default;
};

class VESK_EXPORT VESK_FortranDictionary {
public:
    // The engine's kind of data source; stored only.
    enum dsType { kDSNone = 0 };
    // Input/output state: a read and a write cannot be mixed without Quiesce.
    enum { kNone = 0, kRead = 1, kWrite = 2 };

    // The source (not owned) must outlive the dictionary.
    explicit VESK_FortranDictionary(VESK_DataSource* source);
    // Copies take the slots, the source and the settings, but neither the
    // iterator nor the guard: those stay with the original, their one owner.
    VESK_FortranDictionary(const VESK_FortranDictionary& other);
    VESK_FortranDictionary& operator=(const VESK_FortranDictionary& other);
    // Deletes the iterator and the guard.
    ~VESK_FortranDictionary();

    void SetDataSource(VESK_DataSource* source) { fpDataSource = source; }
    VESK_DataSource* GetDataSource() const { return fpDataSource; }
    void SetLUN(int lun) { fLUN = lun; }
    int GetLUN() const { return fLUN; }
    void SetCompression(int compression) { fCompression = compression; }
    int GetCompression() const { return fCompression; }
    void SetDSType(dsType type) { fDSType = type; }
    dsType GetDSType() const { return fDSType; }
    // Takes ownership of the guard.
    void SetGuard(SvrDMInputDataSource* guard) { fpGuard = guard; }
    SvrDMInputDataSource* GetGuard() const { return fpGuard; }
    // Takes ownership of the iterator.
    void SetIterator(VESK_InputCaseIterator* iterator) { fpIterator = iterator; }
    VESK_InputCaseIterator* GetIterator() const;
    int GetIOStatus() const { return fIOStatus; }

    void DeleteIterator();
    // Deletes the iterator and returns to the state where reading or writing may start.
    void Quiesce();

    // Cells per case.
    unsigned Count() const { return unsigned(fSlots.size()); }
    // The variable index in slot `position` (1-based); -1 for a continuation
    // cell or a position outside 1..Count().
    int GetIndex(int position) const;
    // The variable starting at the position, which must name one.
    VESK_Variable& GetVariable(int position);
    // As above, with kTheExtension for a position that names no variable.
    const VESK_Variable& GetVariable(int position) const;
    // Appends a slot; returns the new Count().
    int AddIndex(int index);
    // Rebuilds the slots from the source's variables.
    void ReIndex();
    // Makes a variable of the type in the source and appends its slots.
    VESK_Variable& MakeVariable(int type, unsigned* index = nullptr);
    // Cuts the case to n cells, deleting the variables from slot n on.
    void Truncate(unsigned n);

    // Reads the next case into buffer (Count() cells); end becomes 1 when
    // there was none, and the buffer is then untouched.
    void ReadCase(OBS* buffer, int& end);
    // Appends buffer as a case of the source, which must be an independent
    // data store (error 1202 otherwise).
    void WriteCase(const OBS* buffer);

    static const VESK_Variable kTheExtension;

private:
    std::vector<int> fSlots;
    VESK_DataSource* fpDataSource;
    VESK_InputCaseIterator* fpIterator;
    SvrDMInputDataSource* fpGuard;
    int fLUN;
    int fCompression;
    dsType fDSType;
    int fIOStatus;
};
