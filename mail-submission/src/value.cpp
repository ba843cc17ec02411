#include "quillpost/value.h"

#include <array>
#include <charconv>
#include <string>
#include <system_error>

#include "quillpost/submission.h"

namespace quillpost {
namespace {

template <typename Number>
std::string NumberText(Number number) {
  // Large enough for the shortest round-trip form of any long double.
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
  if (result.ec != std::errc{}) {
    throw SubmissionError(SubmissionError::Code::Internal,
                          "a number could not be turned into text");
  }
  return {buffer.data(), result.ptr};
}

}  // namespace

Value::Value(const char* text) {
  if (text != nullptr) {
    text_.emplace(text);
  }
}

Value::Value(bool flag) : text_(flag ? "True" : "False") {}
Value::Value(float number) : text_(NumberText(number)) {}
Value::Value(double number) : text_(NumberText(number)) {}
Value::Value(long double number) : text_(NumberText(number)) {}

std::string Value::SignedText(long long number) {
  return NumberText(number);
}
std::string Value::UnsignedText(unsigned long long number) {
  return NumberText(number);
}

const std::string& Value::Text() const {
  if (!text_) {
    throw SubmissionError(SubmissionError::Code::NoTextForm,
                          "the value has no text form (a null string)");
  }
  return *text_;
}

}  // namespace quillpost
