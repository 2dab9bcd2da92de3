// Result: a value or an error. Errors carry a kind, a static message and the
// file and line where they were raised; they never allocate, so raising one
// cannot itself fail.
#pragma once
#include <cstdint>
#include <optional>
#include <source_location>
#include <type_traits>
#include <utility>
#include <variant>

namespace norvo {

// The call site of an error. clang 14 with libstdc++ 12 (the fuzzing build)
// has no std::source_location; there the compiler's builtins give the same.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
struct SourceLocation {
  static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                          std::uint_least32_t line = __builtin_LINE()) noexcept {
    return SourceLocation{file, line};
  }
  constexpr const char* file_name() const noexcept { return file_; }
  constexpr std::uint_least32_t line() const noexcept { return line_; }
  const char* file_;
  std::uint_least32_t line_;
};
#endif

enum class ErrorKind : std::uint8_t { Nullptr, OutOfMemory, IllegalArgument, Unexpected, Unresolved };

// "NullptrError", "OutOfMemoryError", ...
const char* ErrorKindName(ErrorKind kind) noexcept;

class Error {
 public:
  constexpr Error(ErrorKind kind, const char* message, SourceLocation where) noexcept
      : kind_(kind), message_(message ? message : ""), file_(where.file_name()), line_(where.line()) {}

  constexpr ErrorKind kind() const noexcept { return kind_; }
  // The message given when the error was raised; "" when none was.
  constexpr const char* message() const noexcept { return message_; }
  constexpr const char* file() const noexcept { return file_; }
  constexpr std::uint32_t line() const noexcept { return line_; }

 private:
  ErrorKind kind_;
  const char* message_;
  const char* file_;
  std::uint32_t line_;
};

// Factories named after the kinds; the call site is recorded.
inline Error NullptrError(const char* message = nullptr, SourceLocation where = SourceLocation::current()) noexcept {
  return Error(ErrorKind::Nullptr, message, where);
}
inline Error OutOfMemoryError(const char* message = nullptr,
                              SourceLocation where = SourceLocation::current()) noexcept {
  return Error(ErrorKind::OutOfMemory, message, where);
}
inline Error IllegalArgumentError(const char* message = nullptr,
                                  SourceLocation where = SourceLocation::current()) noexcept {
  return Error(ErrorKind::IllegalArgument, message, where);
}
inline Error UnexpectedError(const char* message = nullptr, SourceLocation where = SourceLocation::current()) noexcept {
  return Error(ErrorKind::Unexpected, message, where);
}
inline Error UnresolvedError(const char* message = nullptr, SourceLocation where = SourceLocation::current()) noexcept {
  return Error(ErrorKind::Unresolved, message, where);
}

namespace detail {
// A checked misuse of a Result: writes one line to standard error (the
// error's kind, message, file and line) and aborts.
[[noreturn]] void AbortOnValueOfError(const Error& error) noexcept;
// The same for error() of a Result that holds a value.
[[noreturn]] void AbortOnErrorOfValue() noexcept;
}  // namespace detail

// value() of an error and error() of a value abort the process (see detail);
// test with has_value() first.
template <class T>
class [[nodiscard]] Result {
  static_assert(!std::is_same_v<std::remove_cvref_t<T>, Error>);

 public:
  Result(const T& value) : state_(std::in_place_index<0>, value) {}
  Result(T&& value) : state_(std::in_place_index<0>, std::move(value)) {}
  Result(const Error& error) : state_(std::in_place_index<1>, error) {}
  template <class U>
    requires(std::is_constructible_v<T, U&&> && !std::is_same_v<std::remove_cvref_t<U>, Error> &&
             !std::is_same_v<std::remove_cvref_t<U>, Result>)
  Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}

  bool has_value() const noexcept { return state_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  T& value() & {
    CheckValue();
    return *std::get_if<0>(&state_);
  }
  const T& value() const& {
    CheckValue();
    return *std::get_if<0>(&state_);
  }
  T&& value() && {
    CheckValue();
    return std::move(*std::get_if<0>(&state_));
  }
  const Error& error() const {
    if (has_value()) [[unlikely]]
      detail::AbortOnErrorOfValue();
    return *std::get_if<1>(&state_);
  }

 private:
  void CheckValue() const noexcept {
    if (!has_value()) [[unlikely]]
      detail::AbortOnValueOfError(*std::get_if<1>(&state_));
  }
  std::variant<T, Error> state_;
};

// A result that holds a reference to a value that lives elsewhere.
template <class T>
class [[nodiscard]] Result<T&> {
 public:
  Result(T& value) : value_(&value) {}
  Result(const Error& error) : error_(error) {}

  bool has_value() const noexcept { return value_ != nullptr; }
  explicit operator bool() const noexcept { return has_value(); }
  T& value() const {
    if (!value_) [[unlikely]]
      detail::AbortOnValueOfError(*error_);
    return *value_;
  }
  const Error& error() const {
    if (value_) [[unlikely]]
      detail::AbortOnErrorOfValue();
    return *error_;
  }

 private:
  T* value_ = nullptr;
  std::optional<Error> error_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(const Error& error) : error_(error) {}

  bool has_value() const noexcept { return !error_.has_value(); }
  explicit operator bool() const noexcept { return has_value(); }
  void value() const {
    if (error_) [[unlikely]]
      detail::AbortOnValueOfError(*error_);
  }
  const Error& error() const {
    if (!error_) [[unlikely]]
      detail::AbortOnErrorOfValue();
    return *error_;
  }

 private:
  std::optional<Error> error_;
};

}  // namespace norvo

#define NORVO_CONCAT_INNER(a, b) a##b
#define NORVO_CONCAT(a, b) NORVO_CONCAT_INNER(a, b)

// Returns the error of `expr` unchanged from the enclosing function.
#define NORVO_RETURN_IF_ERROR(expr)                               \
  do {                                                            \
    auto&& norvo_result_ = (expr);                                \
    if (!norvo_result_.has_value()) return norvo_result_.error(); \
  } while (0)

// Declares `decl` from the value of `expr`, or returns its error unchanged.
#define NORVO_ASSIGN_OR_RETURN(decl, expr) \
  NORVO_ASSIGN_OR_RETURN_IMPL(NORVO_CONCAT(norvo_result_, __LINE__), decl, expr)
#define NORVO_ASSIGN_OR_RETURN_IMPL(tmp, decl, expr) \
  auto tmp = (expr);                                 \
  if (!tmp.has_value()) return tmp.error();          \
  decl = std::move(tmp).value()
