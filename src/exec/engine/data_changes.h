// Running a data-change program (INSERT, UPDATE, DELETE) once on the
// machine: the rows it changed, and the engine's last_insert_id.
//
// The caller holds the write transaction (Session::autocommit). The
// statements that reach here compiled: text and prepared statements of the
// compiled road (compiled_statement.h), and the row-by-row programs of the
// INSERT conflict policies (insert_policies.h).
#pragma once

#include <cstdint>
#include <span>

#include "base/result.h"
#include "exec/vm/program.h"
#include "record/value.h"

namespace bkf::vm {
class Vm;
}

namespace bkf::engine {

class Engine;

// Runs the program with the parameter values, on `kept` rearmed when given
// (a machine kept between runs; it pins no page afterwards), else on a new
// machine, and returns the number of rows it inserted, changed or deleted.
// Only an INSERT program (is_insert) moves last_insert_id: a successful run
// sets it to the row id of its last inserted row when that is not 0; a
// failed run leaves it, even when it inserted rows before failing.
Result<std::uint64_t> run_change_program(Engine& engine, const vm::Program& program, std::span<const Value> params,
                                         bool is_insert, vm::Vm* kept = nullptr);

}  // namespace bkf::engine
