// The statement compiler: syntax trees of SELECT, INSERT, UPDATE and DELETE
// into programs for the virtual machine.
//
//   compile_select(select, catalog)   one query core (UNION members are run
//                                     by the engine one by one)
//   compile_insert(...)               INSERT / INSERT IGNORE ... VALUES
//   compile_update(...)               UPDATE
//   compile_delete(...)               DELETE
//   compile_conflict_probe(...)       the rows an INSERT of one row would
//                                     collide with (REPLACE, ON DUPLICATE
//                                     KEY UPDATE)
//
// Every compiler returns the validated Program or an Exec error (the
// resolution errors "no such table: {}", "no such column: {}", ...); a
// failed compilation leaves nothing behind. The engine folds uncorrelated
// subqueries and IN lists before compiling; a scalar subquery still in the
// tree becomes a correlated sub-program. `?` parameters compile to Bind and
// serve as seek keys, so a prepared statement seeks like a literal one.
// Program::debug() lists the instructions (and shows which access path was
// chosen).
#pragma once

#include "exec/compile/conflict_probe.h"
#include "exec/compile/dml.h"
#include "exec/compile/select.h"
