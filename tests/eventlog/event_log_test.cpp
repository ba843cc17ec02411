#include "eventlog/event_log.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace quillpost::eventlog {
namespace {

TEST(EventLog, ScopedSinkSeesEntriesAndRestoresThePreviousSink) {
  std::vector<std::string> outer;
  ScopedSink outerSink([&](std::string_view text) { outer.emplace_back(text); });
  {
    std::vector<std::string> inner;
    ScopedSink innerSink([&](std::string_view text) { inner.emplace_back(text); });
    ReportError("first");
    EXPECT_EQ(inner, std::vector<std::string>{"first"});
  }
  ReportError("second");
  EXPECT_EQ(outer, std::vector<std::string>{"second"});
}

TEST(EventLog, AThrowingSinkNeverReachesTheCaller) {
  ScopedSink sink([](std::string_view) { throw std::runtime_error("sink broke"); });
  EXPECT_NO_THROW(ReportError("anything"));
}

}  // namespace
}  // namespace quillpost::eventlog
