// What the sources of the vesk:: layer share: the process-wide lock around
// the engine's process-wide state, the encoding switch, error translation,
// and the conversion between vesk::Variable and VESK_Variable.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "errortext.h"
#include "obs.h"
#include "variable.h"
#include "vesk.hpp"

class VESK_DataSource;

namespace vesk::detail {

// Held while the engine touches process-wide state: the encoding mode and
// code page, the open-file registry, variable ids and the label pool.
std::unique_lock<std::recursive_mutex> LockEngine();

// Sets the process's text encoding for the life of the object and restores
// the previous one: "UTF-8" switches UTF-8 mode on, any other name makes it
// the code page with UTF-8 mode off. An encoding without a converter raises
// Error 1245. Hold LockEngine() while one exists.
class EncodingScope {
public:
    explicit EncodingScope(const std::string& encoding);
    ~EncodingScope();
    EncodingScope(const EncodingScope&) = delete;
    EncodingScope& operator=(const EncodingScope&) = delete;

private:
    std::string fCodePage;
    int fUTF8Mode;
};

// Deletes a source and the sources under it, under the engine lock.
struct ChainDeleter {
    void operator()(VESK_DataSource* source) const;
};
using SourceChain = std::unique_ptr<VESK_DataSource, ChainDeleter>;

// Raises Error with message `number` of the library's table and the arguments.
[[noreturn]] void Fail(DatasrcMsg number, std::vector<std::string> args);
// The library's error as a vesk::Error.
Error Translate(const VeskError& e);

// Runs f, raising a library error it throws as a vesk::Error.
template <class F>
decltype(auto) Guarded(F&& f) {
    try {
        return f();
    } catch (const VeskError& e) {
        throw Translate(e);
    }
}

// The text of n bytes without its trailing blanks.
std::string_view TrimBlanks(const char* text, size_t n);

// The plain description of a variable of the engine (texts as they are).
Variable Describe(const VESK_Variable& var);
Attributes Describe(const DatasourceAttributes& attributes);
DatasourceAttributes ToLibrary(const Attributes& attributes);

// Raises the Error of the first thing about the variables a file cannot
// hold: invalid or repeated names, bad widths, formats, missing values or
// value labels. Run under an EncodingScope("UTF-8").
void CheckVariables(const std::vector<Variable>& variables);
// Appends the variable to the engine's dictionary (checked before).
void AddToDictionary(VESK_DataSource& source, const Variable& variable);

// Where a variable's value stands in a case.
struct CellSpan {
    int cell = 0;   // first cell
    int width = 0;  // 0 numeric, else the string width
};
std::vector<CellSpan> Layout(const VESK_DataSource& source);

// The missing-value test of one variable on raw cells, for the hot loops:
// system-missing is tested inline, the variable's own values through the
// body's IsMissing. The body must outlive the test.
class MissingTest {
public:
    MissingTest() = default;
    explicit MissingTest(const VESK_Variable& var)
        : fBody(var.Impl().get()), fNumeric(var.GetType() == 0), fHasRule(var.Impl()->GetMissingRule() != 0) {}
    // System-missing or one of the variable's missing values. For strings,
    // `cell` is the first cell of the value.
    bool operator()(const OBS& cell) const {
        if (fNumeric && cell.bits == VESK_SYSMIS_BITS) return true;
        return fHasRule && fBody->IsMissing(&cell) != 0;
    }
    // A user-missing value can occur.
    bool HasRule() const { return fHasRule; }

private:
    const VESK_VariableImpl* fBody = nullptr;
    bool fNumeric = true;
    bool fHasRule = false;
};

}  // namespace vesk::detail
