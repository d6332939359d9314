// How a column's declared type decides the conversion of text written to it.
//
// Two readings of the same declared type, side by side because they differ
// on purpose. Both look at the type with ASCII letters upper-cased and search
// it for words; the first hit decides:
//
//   value_affinity   - values written by INSERT and UPDATE (and the keys the
//                      conflict policies look up): "INT" gives Integer; then
//                      "CHAR", "CLOB", "TEXT", "BLOB", "DATE" or "TIME" give
//                      None; then "REAL", "FLOA", "DOUB", "DEC" or "NUM" give
//                      Real; else None.
//   default_affinity - a column's DEFAULT, converted once when the column is
//                      defined: the same, but the text words are not looked
//                      for.
//
// So they differ only for a type that names both a text word and a numeric
// one, such as CHARNUM or DATEREAL: its DEFAULT '7' becomes a number, while
// '7' written to it stays text. Both are kept as they are because files rely
// on each: a default is stored converted in the table's schema row, and
// written values are stored converted in the rows, so reading a type the
// other way would make new tables disagree with existing ones.
//
// (Whether a PRIMARY KEY column is the row-id alias is a third, exact reading
// of the type: is_integer_type in exec/engine/schema_rules.h.)
#pragma once

#include <cstdint>
#include <string_view>

namespace bkf::catalog {

enum class Affinity : std::uint8_t { None, Integer, Real };

Affinity value_affinity(std::string_view decl_type);
Affinity default_affinity(std::string_view decl_type);

}  // namespace bkf::catalog
