#pragma once

// Wake-up latency across processes: a receiver process arms a report, waits on
// the descriptor with poll, and prints the time of each Arrived; the sender
// sends one message at a time and compares.

#include <string>

struct LatencyFigures {
  double median = 0;
  double p99 = 0;
};

struct WakeupFigures {
  LatencyFigures afterReturn;  // from Send's return
  LatencyFigures afterCall;    // from Send's call (includes the durable commit)
};

// The receiving side; runs in the process started by MeasureWakeups.
int RunLatencyReceiver(const std::string& path);

// Starts program --latency-receiver path and measures count wake-ups.
WakeupFigures MeasureWakeups(const std::string& program, const std::string& path, int count);
