#pragma once

// The one line a relay without a window writes to standard error once it has
// started: where it takes requests from, where it sends them, where it logs,
// where it serves metrics, and how to stop it.

#include <string>

#include "relay/settings.h"

namespace quillpost::program {

// metricsUrl is empty when no metrics are served.
[[nodiscard]] std::string StartupLine(const relay::Settings& settings,
                                      const std::string& metricsUrl);

}  // namespace quillpost::program
