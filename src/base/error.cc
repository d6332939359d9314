#include "base/error.h"

#include <cstring>

namespace bkf {

Error Error::make(ErrorKind kind, std::string_view text) {
  auto rep = std::make_unique<Rep>();
  rep->kind = kind;
  rep->text.assign(text.data(), text.size());
  return Error(std::move(rep));
}

Error Error::io(int os_errno) {
  // strerror_r in its GNU form returns a pointer that may or may not be buf.
  char buf[256];
  const char* text = ::strerror_r(os_errno, buf, sizeof buf);
  Error e = make(ErrorKind::Io, text);
  e.rep_->os_errno = os_errno;
  return e;
}

Error Error::io_failure(std::string_view description) { return make(ErrorKind::Io, description); }
Error Error::bad_header(std::string_view msg) { return make(ErrorKind::BadHeader, msg); }

Error Error::invalid_page(std::uint32_t page) {
  Error e = make(ErrorKind::InvalidPage, {});
  e.rep_->a = page;
  return e;
}

Error Error::invalid_page_size(std::size_t size) {
  Error e = make(ErrorKind::InvalidPageSize, {});
  e.rep_->a = size;
  return e;
}

Error Error::short_read(std::uint64_t offset, std::size_t want, std::size_t got) {
  Error e = make(ErrorKind::ShortRead, {});
  e.rep_->a = offset;
  e.rep_->b = want;
  e.rep_->c = got;
  return e;
}

Error Error::not_found(std::string_view path) { return make(ErrorKind::NotFound, path); }
Error Error::corrupt(std::string_view msg) { return make(ErrorKind::Corrupt, msg); }
Error Error::tx(const char* msg) { return make(ErrorKind::Tx, msg); }
Error Error::schema(std::string_view msg) { return make(ErrorKind::Schema, msg); }

Error Error::parse(std::string_view msg, std::size_t pos) {
  Error e = make(ErrorKind::Parse, msg);
  e.rep_->a = pos;
  return e;
}

Error Error::exec(std::string_view msg) { return make(ErrorKind::Exec, msg); }
Error Error::constraint(std::string_view msg) { return make(ErrorKind::Constraint, msg); }

Error::Error(const Error& other) : rep_(std::make_unique<Rep>(*other.rep_)) {}

Error& Error::operator=(const Error& other) {
  if (this != &other) rep_ = std::make_unique<Rep>(*other.rep_);
  return *this;
}

Error::~Error() = default;

std::string Error::to_string() const {
  const Rep& r = *rep_;
  switch (r.kind) {
    case ErrorKind::Io:
      if (r.os_errno != 0) return "io error: " + r.text + " (os error " + std::to_string(r.os_errno) + ")";
      return "io error: " + r.text;
    case ErrorKind::BadHeader: return "bad database header: " + r.text;
    case ErrorKind::InvalidPage: return "invalid page id: " + std::to_string(r.a);
    case ErrorKind::InvalidPageSize: return "invalid page size: " + std::to_string(r.a);
    case ErrorKind::ShortRead:
      return "short read at offset " + std::to_string(r.a) + ": wanted " + std::to_string(r.b) +
             " bytes, got " + std::to_string(r.c);
    case ErrorKind::NotFound: return "file not found: " + r.text;
    case ErrorKind::Corrupt: return "corrupt data: " + r.text;
    case ErrorKind::Tx: return "transaction error: " + r.text;
    case ErrorKind::Schema: return "schema error: " + r.text;
    case ErrorKind::Parse: return "parse error at byte " + std::to_string(r.a) + ": " + r.text;
    case ErrorKind::Exec: return "execution error: " + r.text;
    case ErrorKind::Constraint: return "constraint violation: " + r.text;
  }
  return "unknown error";
}

std::string Error::debug() const {
  const Rep& r = *rep_;
  switch (r.kind) {
    case ErrorKind::Io:
      return "Io { errno: " + std::to_string(r.os_errno) + ", message: \"" + r.text + "\" }";
    case ErrorKind::BadHeader: return "BadHeader(\"" + r.text + "\")";
    case ErrorKind::InvalidPage: return "InvalidPage(" + std::to_string(r.a) + ")";
    case ErrorKind::InvalidPageSize: return "InvalidPageSize(" + std::to_string(r.a) + ")";
    case ErrorKind::ShortRead:
      return "ShortRead { offset: " + std::to_string(r.a) + ", want: " + std::to_string(r.b) +
             ", got: " + std::to_string(r.c) + " }";
    case ErrorKind::NotFound: return "NotFound(\"" + r.text + "\")";
    case ErrorKind::Corrupt: return "Corrupt(\"" + r.text + "\")";
    case ErrorKind::Tx: return "Tx(\"" + r.text + "\")";
    case ErrorKind::Schema: return "Schema(\"" + r.text + "\")";
    case ErrorKind::Parse: return "Parse { msg: \"" + r.text + "\", pos: " + std::to_string(r.a) + " }";
    case ErrorKind::Exec: return "Exec(\"" + r.text + "\")";
    case ErrorKind::Constraint: return "Constraint(\"" + r.text + "\")";
  }
  return "Unknown";
}

}  // namespace bkf
