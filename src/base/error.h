// The engine's one error type.
//
// Every fallible operation in every layer returns either its result or an
// Error (see result.h); nothing is signalled any other way and no exception
// crosses a layer. An Error has one of twelve kinds; the kind number and the
// display text are part of the external interface, since the bindings show
// errors to users only through their text.
//
// The kinds of every layer (Parse, Schema and Constraint too, which only the
// upper layers raise) are declared here, in the lowest layer, because the
// bindings show an error by its kind: to_string() prefixes each kind's own
// text, so the one list of kinds and their texts lives with the type.
//
// The payload lives on the heap so that an Error is one pointer wide: results
// that carry one stay small on the hot paths where errors never happen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace bkf {

enum class ErrorKind : std::uint8_t {
  Io = 0,
  BadHeader = 1,
  InvalidPage = 2,
  InvalidPageSize = 3,
  ShortRead = 4,
  NotFound = 5,
  Corrupt = 6,
  Tx = 7,
  Schema = 8,
  Parse = 9,
  Exec = 10,
  Constraint = 11,
};

// The four constant texts of ErrorKind::Tx.
inline constexpr const char* kTxAlreadyActive = "a transaction is already active";
inline constexpr const char* kTxNoneToRollBack = "no active transaction to roll back";
inline constexpr const char* kTxNoneToCommit = "no active transaction to commit";
inline constexpr const char* kTxJournalModeInTx = "cannot change journal_mode inside a transaction";
// Why a statement is refused in a transaction that a storage error spoiled,
// or one whose write ran out of memory half-way.
inline constexpr const char* kTxSpoiled =
    "the transaction must be rolled back: a statement in it failed in the storage layer";
inline constexpr const char* kTxSpoiledOutOfMemory =
    "the transaction must be rolled back: a statement in it ran out of memory";

class Error {
 public:
  // One constructor per kind.
  // An operating-system failure, shown as "{strerror} (os error {errno})".
  static Error io(int os_errno);
  // A failure of the platform file layer with a fixed description, such as
  // "failed to write whole buffer".
  static Error io_failure(std::string_view description);
  static Error bad_header(std::string_view msg);
  static Error invalid_page(std::uint32_t page);
  static Error invalid_page_size(std::size_t size);
  static Error short_read(std::uint64_t offset, std::size_t want, std::size_t got);
  static Error not_found(std::string_view path);
  static Error corrupt(std::string_view msg);
  static Error tx(const char* msg);
  static Error schema(std::string_view msg);
  static Error parse(std::string_view msg, std::size_t pos);
  static Error exec(std::string_view msg);
  static Error constraint(std::string_view msg);

  Error(const Error& other);
  Error& operator=(const Error& other);
  Error(Error&&) noexcept = default;
  Error& operator=(Error&&) noexcept = default;
  ~Error();

  ErrorKind kind() const noexcept { return rep_->kind; }
  bool is(ErrorKind k) const noexcept { return rep_->kind == k; }
  // A failure of the file or of the pages read from it (Io, BadHeader,
  // InvalidPage, InvalidPageSize, ShortRead, NotFound, Corrupt), as opposed
  // to one of the statement (Tx, Schema, Parse, Exec, Constraint). Such a
  // failure may leave pages in memory half changed, and it is never a
  // verdict about the statement's text.
  // The storage kinds are the first seven.
  bool is_storage() const noexcept { return rep_->kind <= ErrorKind::Corrupt; }

  // The message text of BadHeader, NotFound (the path), Corrupt, Tx, Schema,
  // Parse, Exec and Constraint, and the description of an Io error.
  const std::string& message() const noexcept { return rep_->text; }
  // Io: the errno, or 0 for a file-layer failure.
  int os_errno() const noexcept { return rep_->os_errno; }
  // InvalidPage: the page; InvalidPageSize: the size; ShortRead: the offset.
  std::uint64_t number() const noexcept { return rep_->a; }
  // Parse: the byte offset in the SQL text.
  std::size_t pos() const noexcept { return static_cast<std::size_t>(rep_->a); }
  // ShortRead: bytes wanted and bytes obtained.
  std::size_t want() const noexcept { return static_cast<std::size_t>(rep_->b); }
  std::size_t got() const noexcept { return static_cast<std::size_t>(rep_->c); }

  // The display text users see, e.g. "parse error at byte 7: ...".
  std::string to_string() const;
  // A developer form naming the kind and its fields; nothing depends on it.
  std::string debug() const;

 private:
  struct Rep {
    ErrorKind kind;
    int os_errno = 0;
    std::uint64_t a = 0, b = 0, c = 0;
    std::string text;
  };
  explicit Error(std::unique_ptr<Rep> rep) : rep_(std::move(rep)) {}
  static Error make(ErrorKind kind, std::string_view text);

  std::unique_ptr<Rep> rep_;
};

}  // namespace bkf
