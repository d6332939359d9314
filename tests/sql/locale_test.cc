// The tokenizer and the debug forms must not depend on the process locale:
// a host program may have set one with a decimal comma.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "sql/parser.h"
#include "sql/token.h"
#include "support/temp_dir.h"

namespace bkf::sql {
namespace {

// Switches LC_ALL to a locale whose decimal separator is a comma, generating
// one into a temporary directory when none is installed; restores the C
// locale afterwards.
class CommaLocale {
 public:
  CommaLocale() {
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "ru_RU.UTF-8"}) {
      if (use(name)) return;
    }
    const std::string cmd = "localedef -i de_DE -f UTF-8 " + dir_.file("de_DE.UTF-8") + " >/dev/null 2>&1";
    if (std::system(cmd.c_str()) == 0) {
      ::setenv("LOCPATH", dir_.path().c_str(), 1);
      locpath_set_ = true;
      use("de_DE.UTF-8");
    }
  }
  ~CommaLocale() {
    std::setlocale(LC_ALL, "C");
    if (locpath_set_) ::unsetenv("LOCPATH");
  }
  bool active() const { return active_; }

 private:
  bool use(const char* name) {
    if (!std::setlocale(LC_ALL, name)) return false;
    active_ = std::string(std::localeconv()->decimal_point) == ",";
    if (!active_) std::setlocale(LC_ALL, "C");
    return active_;
  }

  bkf::testing::TempDir dir_;
  bool locpath_set_ = false;
  bool active_ = false;
};

std::string lex(std::string_view text) {
  auto r = tokenize(text);
  if (!r) return r.error().message();
  std::string out;
  for (const Token& t : *r) {
    append_token_debug(out, t, text);
    out += ' ';
  }
  return out;
}

TEST(LocaleTest, NumbersIgnoreADecimalCommaLocale) {
  const char* const texts[] = {"1.5 2.5e3 .25 1e-7 1e20 3.0 0.1", "12 9223372036854775807 1,5"};
  std::string plain[2];
  for (int i = 0; i < 2; ++i) plain[i] = lex(texts[i]);
  EXPECT_EQ(plain[0], "Real(1.5) Real(2500.0) Real(0.25) Real(1e-7) Real(1e20) Real(3.0) Real(0.1) Eof ");

  CommaLocale locale;
  if (!locale.active()) GTEST_SKIP() << "no locale with a decimal comma is available";
  ASSERT_EQ(std::strtod("1,5", nullptr), 1.5);  // the locale really is in effect
  for (int i = 0; i < 2; ++i) EXPECT_EQ(lex(texts[i]), plain[i]);

  auto r = parse("SELECT 2.5; PRAGMA p = 1234567");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ((*r)[0].as<Statement::Select>().select.items[0].as<SelectItem::Expr>().expr->as<Expr::Real>().value, 2.5);
  EXPECT_EQ((*r)[1].as<Statement::Pragma>().value, "1234567");
  EXPECT_EQ(parse("PRAGMA x = 1.5").error().message(), "expected a pragma value, found Real(1.5)");
}

}  // namespace
}  // namespace bkf::sql
