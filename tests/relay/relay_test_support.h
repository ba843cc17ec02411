#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "document/request_reader.h"
#include "eventlog/event_log.h"
#include "relay/status.h"
#include "relay_fakes.h"

namespace quillpost::relay::testing {

using LogLines = std::vector<std::pair<std::string, std::string>>;

inline const std::string kRequest =
    "<Quillpost-1.0><Routing><FROM>ann@example.org</FROM><FROM-NAME>Ann Lee</FROM-NAME>"
    "<TO>bob@example.org</TO><TO>cy@example.org</TO></Routing>"
    "<Message><SUBJECT>Hello</SUBJECT><BODY>Two &amp; two</BODY></Message>"
    "<Attachments><FILE>/tmp/report.pdf</FILE></Attachments></Quillpost-1.0>";

// What the service told its service manager, as "Ready: ...", "Status: ..."
// and "Stopping".
class RecordingNotifier final : public ServiceNotifier {
 public:
  void Ready(std::string_view text) override { notes.push_back("Ready: " + std::string(text)); }
  void Status(std::string_view text) override { notes.push_back("Status: " + std::string(text)); }
  void Stopping() override { notes.emplace_back("Stopping"); }
  std::vector<std::string> notes;
};

// The values a reader takes out of a request: what must never change on its
// way through the relay's queues.
inline std::vector<std::vector<std::string>> ValuesOf(const std::string& body) {
  const document::RequestReader reader(body);
  std::vector<std::vector<std::string>> values;
  for (const std::string_view tag :
       {document::kFromTag, document::kFromNameTag, document::kToTag, document::kSubjectTag,
        document::kBodyTag, document::kFileTag, document::kWholeMessageTag}) {
    values.push_back(reader.All(tag));
  }
  return values;
}

// A started service on fakes, with the event log captured.
class ServiceTest : public ::testing::Test {
 protected:
  void Start(Settings settings = {}) {
    status = std::make_unique<Status>(
        std::move(settings), ServiceParts{store, mails.Factory(), log, timer, [this] { ++ended; }});
    status->AttachView(view);
    status->AttachNotifier(notifier);
    started = status->Startup();
  }

  FakeQueue& Inbound() { return static_cast<FakeQueue&>(*status->InboundQueue); }
  FakeQueue& RetryA() { return static_cast<FakeQueue&>(*status->RetryQueueA); }
  FakeQueue& RetryB() { return static_cast<FakeQueue&>(*status->RetryQueueB); }

  // Puts a message on a queue and lets the queue report it.
  void Arrive(FakeQueue& queue, std::string label, std::string body = kRequest,
              std::chrono::system_clock::time_point arrived = std::chrono::system_clock::now()) {
    store.Put(queue.PathName(), std::move(label), std::move(body), arrived);
    queue.DeliverNotification();
  }
  void FailSends(int number) { mails.Script({MailScript{{}, number, 0}}); }
  void SucceedSends() { mails.Script({MailScript{}}); }

  std::deque<queue::Message>& Waiting(const std::string& name) { return store.Messages(name); }

  FakeStore store;
  ScriptedMails mails;
  RecordingLog log;
  RecordingTimer timer;
  RecordingView view;
  RecordingNotifier notifier;
  int ended = 0;
  bool started = false;
  std::unique_ptr<Status> status;
  std::vector<std::string> eventLog;
  eventlog::ScopedSink eventSink{[this](std::string_view text) { eventLog.emplace_back(text); }};
};

}  // namespace quillpost::relay::testing
