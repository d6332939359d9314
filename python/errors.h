// The exceptions the module raises, and the process and thread checks.
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

// The process check, which comes before the thread checks of the methods
// that run statements: true in the process that opened conn's database;
// elsewhere (a forked child, whichever thread forked it) raises
// brackenford.Error "execution error: this connection belongs to process
// ..." and returns false.
bool check_process(ModuleState* st, const ConnectionObject* conn);

// The object made by the thread `owner` on conn is used (or dropped) by
// another thread of the process that made it. The thread checks apply
// within one process: in a forked child the creating thread is gone, the
// calling one is the only one that could have it, and the statements the
// connection would run are refused anyway.
bool on_foreign_thread(std::thread::id owner, const ConnectionObject* conn);

// True unless on_foreign_thread; then raises the internal-failure exception
// "<type_name> is unsendable, but sent to another thread" and returns false.
bool check_owner(ModuleState* st, std::thread::id owner, const ConnectionObject* conn, const char* type_name);

// Reports, through the interpreter's unraisable-exception hook, a
// RuntimeError "<type_name> is unsendable, but is being dropped on another
// thread". Called from deallocation when on_foreign_thread; keeps any
// exception already set.
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
