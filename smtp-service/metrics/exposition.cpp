#include "metrics/exposition.h"

#include <charconv>
#include <cmath>

namespace quillpost::metrics {
namespace {

// HELP text escapes backslash and newline; label values the double quote too.
void AppendEscaped(std::string& out, std::string_view text, bool quote) {
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (quote && c == '"') {
      out += "\\\"";
    } else {
      out += c;
    }
  }
}

}  // namespace

std::string FormatValue(double value) {
  if (std::isinf(value)) {
    return value > 0 ? "+Inf" : "-Inf";
  }
  if (std::isnan(value)) {
    return "NaN";
  }
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return {buffer, result.ptr};
}

void Exposition::Family(std::string_view name, std::string_view type, std::string_view help) {
  text_ += "# HELP ";
  text_ += name;
  text_ += ' ';
  AppendEscaped(text_, help, false);
  text_ += "\n# TYPE ";
  text_ += name;
  text_ += ' ';
  text_ += type;
  text_ += '\n';
}

void Exposition::SampleStart(std::string_view name, const Labels& labels) {
  text_ += name;
  if (!labels.empty()) {
    text_ += '{';
    for (std::size_t i = 0; i < labels.size(); ++i) {
      text_ += i == 0 ? "" : ",";
      text_ += labels[i].first;
      text_ += "=\"";
      AppendEscaped(text_, labels[i].second, true);
      text_ += '"';
    }
    text_ += '}';
  }
  text_ += ' ';
}

void Exposition::Sample(std::string_view name, const Labels& labels, double value) {
  SampleStart(name, labels);
  text_ += FormatValue(value);
  text_ += '\n';
}

void Exposition::Sample(std::string_view name, const Labels& labels, std::uint64_t value) {
  SampleStart(name, labels);
  text_ += std::to_string(value);
  text_ += '\n';
}

}  // namespace quillpost::metrics
