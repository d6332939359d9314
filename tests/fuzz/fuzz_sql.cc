// SQL text against a small database: tokenizing, parsing, folding,
// compiling and running whatever the text says, as one text and, when it is
// one statement, prepared and run with a value of every kind for its
// parameters. Afterwards the database must pass integrity_check and open
// again: no text may damage it.

#include <algorithm>
#include <cctype>
#include <string>

#include "fuzz/fuzz_common.h"

namespace bkf::fuzz {

namespace {

// An upper bound of the tables a text's queries read: every FROM and every
// JOIN, and every comma from a FROM to the next clause. A join of many
// tables is slow by nature, which is no fault.
int table_references(std::string_view text) {
  auto word_byte = [](unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; };
  int n = 0;
  bool in_from = false;
  for (std::size_t i = 0; i < text.size();) {
    if (!word_byte(static_cast<unsigned char>(text[i]))) {
      n += in_from && text[i] == ',';
      if (text[i] == ';') in_from = false;
      ++i;
      continue;
    }
    std::size_t j = i;
    std::string w;
    for (; j < text.size() && word_byte(static_cast<unsigned char>(text[j])); ++j) {
      w += static_cast<char>(std::tolower(static_cast<unsigned char>(text[j])));
    }
    if (w == "from" || w == "join") {
      ++n;
      in_from = in_from || w == "from";
    } else if (w == "where" || w == "group" || w == "order" || w == "limit" || w == "union" || w == "having" ||
               w == "select") {
      in_from = false;
    }
    i = j;
  }
  return n;
}

bool integrity_ok(Database& db) {
  auto r = db.execute("PRAGMA integrity_check");
  return r && r->size() == 1 && r->back().rows.size() == 1 && r->back().rows[0][0].bytes() == "ok";
}

}  // namespace

int sql_input(const std::uint8_t* data, std::size_t size) {
  static const Image base = build_image(512, template_sql(8));
  // Texts that ask for an exponential amount of work (a table doubled by
  // INSERT ... SELECT over and over, joins of many tables) are left out.
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (size > 1024 || table_references(text) > 4) return 0;
  testing::MemVfs vfs;
  install(vfs, base);
  {
    auto db = Database::open(vfs, kPath);
    if (!db) fail("the template does not open: " + db.error().to_string());
    run(*db, text);
    if (auto p = db->prepare(text); p.ok()) {
      const Value params[] = {Value::integer(-1),      Value::text("n2"), Value::null(),
                              Value::blob("\x00\x01"), Value::real(2.5),  Value::integer(9223372036854775807)};
      (void)db->execute_prepared(*p, params);
    }
    if (db->in_transaction()) run(*db, "ROLLBACK");
    if (!integrity_ok(*db)) fail("integrity_check failed after: " + std::string(text));
  }
  auto again = Database::open(vfs, kPath);
  if (!again) fail("the database no longer opens (" + again.error().to_string() + ") after: " + std::string(text));
  if (!integrity_ok(*again)) fail("integrity_check failed after a reopen, after: " + std::string(text));
  return 0;
}

}  // namespace bkf::fuzz

#ifdef BKF_LIBFUZZER
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return bkf::fuzz::sql_input(data, size);
}
#endif
