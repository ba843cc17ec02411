#include "relay/status.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "eventlog/event_log.h"

namespace quillpost::relay {

Status::Status(Settings settings, ServiceParts parts)
    : requestevent([this](queue::OpenQueue& q, long cursor) { requestevent_Arrived(q, cursor); }),
      retryAevent([this](queue::OpenQueue& q, long cursor) { retryaevent_Arrived(q, cursor); }),
      retrybevent([this](queue::OpenQueue& q, long cursor) { retrybevent_Arrived(q, cursor); }),
      settings_(std::move(settings)),
      parts_(std::move(parts)),
      view_(&nullView_),
      notifier_(&nullNotifier_),
      observer_(&nullObserver_) {}

Status::~Status() = default;

void Status::AttachView(StatusView& view) {
  view_ = &view;
}

bool Status::Startup() {
  int step = 0;
  const char* what = "";
  std::string failure;
  const auto at = [&](int number, const char* name) {
    step = number;
    what = name;
  };
  try {
    // Steps 1 and 2: the tray icon, unless another instance runs.
    at(1, "looking for another instance");
    const bool anotherInstance = view_->AnotherInstanceRunning();
    at(2, "adding the tray icon");
    if (!anotherInstance) {
      view_->AddTrayIcon();
    }

    at(3, "assigning the settings");
    InboundQueueName = settings_.inboundQueueName;
    RetryQueueNameA = settings_.retryQueueNameA;
    RetryQueueNameB = settings_.retryQueueNameB;
    SmtpServer = settings_.smtpServer;
    LogFile = settings_.logFile;
    DeadLetterQueueName = settings_.deadLetterQueueName;

    at(4, "creating missing queues");
    for (const std::string* name :
         {&InboundQueueName, &RetryQueueNameA, &RetryQueueNameB, &DeadLetterQueueName}) {
      parts_.queues.EnsureExists(*name);
    }

    at(5, "opening the inbound queue");
    OpenAndArm(InboundQueueName, InboundQueue, requestevent);
    at(6, "opening retry queue A");
    OpenAndArm(RetryQueueNameA, RetryQueueA, retryAevent);
    at(7, "opening retry queue B");
    OpenAndArm(RetryQueueNameB, RetryQueueB, retrybevent);

    at(8, "emptying the status list");
    view_->Clear();
    at(9, "hiding the window");
    view_->Hide();

    at(10, "setting the retry letters");
    TargetRetryQueue = "B";
    ActiveRetryQueue = "A";
    RetryAllowance = static_cast<std::int16_t>(settings_.retryAllowance);

    at(11, "starting the retryswap timer");
    parts_.retryswap.SetInterval(settings_.retrySwapInterval);

    at(12, "writing the start-up log entry");
    WriteLog("Server Initialised & Listening", "");
    notifier_->Ready(OutcomesText());
    return true;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "unknown failure";
  }
  const std::string text =
      "start-up stopped at step " + std::to_string(step) + " (" + what + "): " + failure;
  ReportFailure(text);
  notifier_->Ready(text);
  return false;
}

void Status::OpenAndArm(const std::string& pathName, std::unique_ptr<queue::OpenQueue>& slot,
                        HandlerSink& sink) {
  slot = parts_.queues.OpenForReceive(pathName);
  slot->EnableNotification(sink);
}

void Status::Shutdown() {
  // Mails that came back already are finished; those still under way go
  // back to their queues as the process ends.
  DeliveriesCompleted();
  notifier_->Stopping();
  view_->RemoveTrayIcon();
  WriteLog("Server Terminated", "");
  std::fflush(nullptr);
  parts_.endProcess();
}

void Status::WriteLog(const std::string& message, const std::string& data) {
  parts_.log.WriteLog(message, data);
}

void Status::ReportFailure(const std::string& text) {
  const std::string entry = "quillpost-smtp: " + text;
  eventlog::ReportError(entry);
  std::fprintf(stderr, "%s\n", entry.c_str());
  std::fflush(stderr);
}

void Status::Count(long Outcomes::*outcome) {
  ++(outcomes_.*outcome);
  notifier_->Status(OutcomesText());
  if (outcome == &Outcomes::sent) {
    std::optional<std::chrono::system_clock::duration> sinceArrival;
    if (current_.identity) {
      sinceArrival = std::chrono::system_clock::now() - current_.identity->submitted;
    }
    observer_->Sent(sinceArrival);
  } else if (outcome == &Outcomes::requeued) {
    observer_->Deferred();
  } else {
    observer_->DeadLettered();
  }
}

std::string Status::OutcomesText() const {
  return "Listening; " + std::to_string(outcomes_.sent) + " sent, " +
         std::to_string(outcomes_.requeued) + " re-queued for retry, " +
         std::to_string(outcomes_.deadLettered) + " dead-lettered";
}

}  // namespace quillpost::relay
