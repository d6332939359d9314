// The exceptions the module raises, and the thread checks.
#pragma once

#include <string_view>
#include <thread>

#include "base/error.h"
#include "binding.h"

namespace bkf::py {

// The exception for an engine call that failed, raised after the call took
// the interpreter lock back: brackenford.Error carrying the error's display
// text, unless a signal arrived meanwhile and its Python handler raises
// (KeyboardInterrupt for Ctrl-C), which then wins. A signal ends a wait for
// another connection's file lock with an io error, and the program must
// see the signal's exception, not that error.
void raise_engine_error(ModuleState* st, const Error& e);
// brackenford.Error with a message of the module's own (the whole text, NUL
// bytes included).
void raise_error(ModuleState* st, std::string_view message);
// The internal-failure exception (a BaseException, not an Exception).
void raise_internal_failure(ModuleState* st, const std::string& message);

// True when the calling thread created the object; otherwise raises the
// internal-failure exception "<type_name> is unsendable, but sent to another
// thread" and returns false.
bool check_owner(ModuleState* st, std::thread::id owner, const char* type_name);

// Reports, through the interpreter's unraisable-exception hook, a
// RuntimeError "<type_name> is unsendable, but is being dropped on another
// thread". Called from deallocation; keeps any exception already set.
void report_foreign_drop(PyTypeObject* type, const char* type_name);

// Takes the cursor's use flag; raises RuntimeError "Already borrowed" or
// "Already mutably borrowed" when the cursor is in use by a call that has not
// returned (only Python code run by that call can get here).
bool use_cursor_exclusive(CursorObject* cur, Use& use);
bool use_cursor_shared(CursorObject* cur, Use& use);

// The thread check and the shared use every reading Cursor method starts with.
bool enter_cursor_shared(CursorObject* cur, Use& use);
// The same for the methods that change the cursor.
bool enter_cursor_exclusive(CursorObject* cur, Use& use);

}  // namespace bkf::py
