#pragma once

// In-memory stand-ins for what the relay service works with: a store of named
// queues with failures on demand, a scripted mail, and recorders for the log,
// the status lines and the swap timer.

#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "queue/queue.h"
#include "relay/log_writer.h"
#include "relay/mail_port.h"
#include "relay/queue_access.h"
#include "relay/status_view.h"
#include "relay/swap_timer.h"

namespace quillpost::relay::testing {

class FakeStore;

class FakeQueue final : public queue::OpenQueue {
 public:
  FakeQueue(FakeStore& store, std::string name) : store_(store), name_(std::move(name)) {}

  const std::string& PathName() const override { return name_; }
  queue::Access OpenedFor() const override { return queue::Access::Receive; }
  std::optional<queue::ReceivedMessage> Receive(std::chrono::milliseconds timeout) override;
  void EnableNotification(queue::ArrivalSink& sink) override;
  int NotificationDescriptor() const override { return -1; }
  // Reports the first waiting message to the armed sink, if any.
  void DeliverNotification() override;
  void Send(const queue::Message& message) override;
  void Close() override {}

  bool Armed() const { return sink_ != nullptr; }
  int armCount = 0;
  int receiveCount = 0;

 private:
  FakeStore& store_;
  std::string name_;
  queue::ArrivalSink* sink_ = nullptr;
};

class FakeStore final : public QueueAccess {
 public:
  void EnsureExists(const std::string& pathName) override;
  std::unique_ptr<queue::OpenQueue> OpenForReceive(const std::string& pathName) override;
  void Send(const std::string& pathName, const queue::Message& message) override {
    if (failMoveTo.count(pathName) != 0 || queues_.count(pathName) == 0) {
      throw queue::QueueError("cannot send to " + pathName);
    }
    queues_[pathName].push_back(message);
  }

  std::deque<queue::Message>& Messages(const std::string& pathName) { return queues_[pathName]; }
  // A message as a store takes it from a sender: with a name of its own and
  // its arrival.
  void Put(const std::string& pathName, std::string label, std::string body,
           std::chrono::system_clock::time_point arrived = std::chrono::system_clock::now()) {
    queue::Message message{std::move(label), std::move(body), 7};
    char name[17] = {};
    std::snprintf(name, sizeof name, "%016llX", ++named_);
    message.name = name;
    message.arrived = arrived;
    queues_[pathName].push_back(std::move(message));
  }
  bool Has(const std::string& pathName) const { return queues_.count(pathName) != 0; }

  // Failures on demand.
  std::set<std::string> failOpen;    // OpenForReceive throws
  std::set<std::string> failMoveTo;  // FinishAndSend to this queue throws
  bool failReceive = false;
  bool failFinish = false;
  int failArms = 0;  // that many EnableNotification calls throw

  int inHand = 0;

 private:
  friend class FakeQueue;
  friend class FakeHold;
  std::map<std::string, std::deque<queue::Message>> queues_;
  unsigned long long named_ = 0x51A7E00000000000ULL;
};

class RecordingLog final : public LogWriter {
 public:
  void WriteLog(const std::string& message, const std::string& data) override {
    entries.emplace_back(message, data);
  }
  std::vector<std::pair<std::string, std::string>> entries;
};

class RecordingView final : public StatusView {
 public:
  void AppendLine(std::string_view line) override { lines.emplace_back(line); }
  void Clear() override {
    lines.clear();
    calls.emplace_back("Clear");
  }
  void Hide() override { calls.emplace_back("Hide"); }
  bool AnotherInstanceRunning() override { return anotherInstance; }
  void AddTrayIcon() override { calls.emplace_back("AddTrayIcon"); }
  void RemoveTrayIcon() override { calls.emplace_back("RemoveTrayIcon"); }

  bool anotherInstance = false;
  std::vector<std::string> lines;
  std::vector<std::string> calls;
};

class RecordingTimer final : public SwapTimer {
 public:
  void SetInterval(std::chrono::milliseconds value) override { interval = value; }
  std::chrono::milliseconds interval{0};
};

// What one mail was given, and how its send goes.
struct MailScript {
  std::vector<std::string> calls;  // "SetServer:host", "AddRecipient:a@b", ...
  int failure = 0;                 // non-zero: Send throws SendFailure with it
  int warning = 0;                 // non-zero: accepted, with this warning
};

// Each mail made takes the next script; the last one repeats.
class ScriptedMails {
 public:
  explicit ScriptedMails(std::vector<MailScript> scripts = {MailScript{}})
      : scripts_(std::move(scripts)) {}

  MailFactory Factory();
  const std::vector<MailScript>& Sent() const { return sent_; }
  // Recipients the server refuses, with the reply code of each (550 when
  // inserted without one); when it refuses them all, Send fails with 40.
  struct Refusals : std::map<std::string, int> {
    void insert(const std::string& address) { (*this)[address] = 550; }
  } refuse;
  // The server list item every mail reports as the one that answered.
  std::string serverUsed;
  void Script(std::vector<MailScript> scripts) {
    scripts_ = std::move(scripts);
    next_ = 0;
  }

 private:
  friend class ScriptedMail;
  std::vector<MailScript> scripts_;
  std::size_t next_ = 0;
  std::vector<MailScript> sent_;
};

}  // namespace quillpost::relay::testing
