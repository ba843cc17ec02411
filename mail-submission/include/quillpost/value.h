#pragma once

// An argument of a Submission operation. Each operation takes its arguments
// as values and turns them into text when it uses them:
//   - text (const char*, std::string, std::string_view) stays unchanged;
//   - integers give their decimal digits ("-42");
//   - floating-point numbers give the shortest text that reads back as the
//     same number ("0.1", "2.5", "1e+21");
//   - booleans give "True" or "False".
// A null const char* is a value with no text form: the operation that uses it
// fails with SubmissionError (Code::NoTextForm). Characters are not a number
// and not a text, so char arguments do not compile; pass a string instead.

#include <concepts>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "quillpost/mailer_export.h"

namespace quillpost {

namespace detail {
template <typename T>
concept Character = std::same_as < std::remove_cv_t<T>,
char > || std::same_as<std::remove_cv_t<T>, signed char> ||
    std::same_as<std::remove_cv_t<T>, unsigned char> ||
    std::same_as<std::remove_cv_t<T>, wchar_t> || std::same_as<std::remove_cv_t<T>, char8_t> ||
    std::same_as<std::remove_cv_t<T>, char16_t> || std::same_as<std::remove_cv_t<T>, char32_t>;

template <typename T>
concept Integer = std::integral<T> && !std::same_as<std::remove_cv_t<T>, bool> && !Character<T>;
}  // namespace detail

class MAILER_API Value {
 public:
  // NOLINTBEGIN(google-explicit-constructor): values convert implicitly, like
  // the arguments of a script call.
  Value(const char* text);  // null: no text form
  Value(std::string text) : text_(std::move(text)) {}
  Value(std::string_view text) : text_(std::string(text)) {}
  Value(bool flag);
  Value(float number);
  Value(double number);
  Value(long double number);
  template <detail::Integer T>
  Value(T number) {
    if constexpr (std::is_signed_v<T>) {
      text_ = SignedText(static_cast<long long>(number));
    } else {
      text_ = UnsignedText(static_cast<unsigned long long>(number));
    }
  }
  // NOLINTEND(google-explicit-constructor)

  // False for a value with no text form.
  bool HasText() const { return text_.has_value(); }

  // The value as text. Throws SubmissionError (Code::NoTextForm) when it has none.
  const std::string& Text() const;

 private:
  static std::string SignedText(long long number);
  static std::string UnsignedText(unsigned long long number);

  std::optional<std::string> text_;
};

}  // namespace quillpost
