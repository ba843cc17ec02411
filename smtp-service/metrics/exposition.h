#pragma once

// Writes the Prometheus text exposition format (version 0.0.4): a HELP and a
// TYPE line per metric family, then one line per sample, labels quoted and
// escaped as the format asks.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillpost::metrics {

inline constexpr std::string_view kExpositionContentType =
    "text/plain; version=0.0.4; charset=utf-8";

using Labels = std::vector<std::pair<std::string_view, std::string>>;

class Exposition {
 public:
  // type: counter, gauge or histogram.
  void Family(std::string_view name, std::string_view type, std::string_view help);
  void Sample(std::string_view name, const Labels& labels, double value);
  void Sample(std::string_view name, const Labels& labels, std::uint64_t value);

  const std::string& Text() const { return text_; }

 private:
  void SampleStart(std::string_view name, const Labels& labels);

  std::string text_;
};

// A number as a sample value or an "le" label: the shortest form that reads
// back exactly; +Inf for infinity.
std::string FormatValue(double value);

}  // namespace quillpost::metrics
