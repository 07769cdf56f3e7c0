// The library error an action raises, for suites that feed bad input.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "errortext.h"
#include "vesk_assert.h"

// The error number an action raises: 0 for none. A failed assertion fails
// the test: malformed files must never reach one.
inline int ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const VeskError& e) {
        return e.Number();
    } catch (const VESK_AssertFailed& a) {
        ADD_FAILURE() << "assertion " << a.Condition() << " at " << a.SourceFile() << ":" << a.LineNumber();
        return -1;
    }
    return 0;
}
