#include "relay_fakes.h"

#include <algorithm>

namespace quillpost::relay::testing {

class FakeHold final : public queue::HeldMessage {
 public:
  FakeHold(FakeStore& store, std::string queueName, queue::Message message)
      : store_(store), queueName_(std::move(queueName)), message_(std::move(message)) {
    ++store_.inHand;
  }
  void Finish() override {
    if (store_.failFinish) {
      throw queue::QueueError("finish refused");
    }
    --store_.inHand;
  }
  void FinishAndSend(const std::string& pathName, const queue::Message& next) override {
    if (store_.failMoveTo.count(pathName) != 0 || store_.queues_.count(pathName) == 0) {
      throw queue::QueueError("cannot move to " + pathName);
    }
    // As a store does: the message keeps its name and arrival.
    queue::Message moved = next;
    moved.name = message_.name;
    moved.arrived = message_.arrived;
    store_.queues_[pathName].push_back(std::move(moved));
    --store_.inHand;
  }
  void Release() noexcept override {
    // Back where it came from, first in line.
    store_.queues_[queueName_].push_front(message_);
    --store_.inHand;
  }

 private:
  FakeStore& store_;
  std::string queueName_;
  queue::Message message_;
};

std::optional<queue::ReceivedMessage> FakeQueue::Receive(std::chrono::milliseconds /*timeout*/) {
  ++receiveCount;
  if (store_.failReceive) {
    throw queue::QueueError("receive refused");
  }
  auto& waiting = store_.queues_[name_];
  if (waiting.empty()) {
    return std::nullopt;
  }
  queue::Message message = std::move(waiting.front());
  waiting.pop_front();
  auto hold = std::make_unique<FakeHold>(store_, name_, message);
  return queue::ReceivedMessage(std::move(message), std::move(hold));
}

void FakeQueue::EnableNotification(queue::ArrivalSink& sink) {
  if (store_.failArms > 0) {
    --store_.failArms;
    throw queue::QueueError("arm refused");
  }
  ++armCount;
  sink_ = &sink;
}

void FakeQueue::DeliverNotification() {
  if (sink_ == nullptr || store_.queues_[name_].empty()) {
    return;
  }
  queue::ArrivalSink* sink = std::exchange(sink_, nullptr);
  sink->Arrived(*this, 0);
}

void FakeQueue::Send(const queue::Message& message) {
  store_.queues_[name_].push_back(message);
}

void FakeStore::EnsureExists(const std::string& pathName) {
  queues_[pathName];
}

std::unique_ptr<queue::OpenQueue> FakeStore::OpenForReceive(const std::string& pathName) {
  if (failOpen.count(pathName) != 0 || queues_.count(pathName) == 0) {
    throw queue::NoSuchQueue("no queue " + pathName);
  }
  return std::make_unique<FakeQueue>(*this, pathName);
}

class ScriptedMail final : public MailPort {
 public:
  ScriptedMail(ScriptedMails& owner, MailScript script)
      : owner_(owner), script_(std::move(script)) {}

  void SetServer(std::string host) override { Note("SetServer", host); }
  void SetConnectionSettings(smtp::ConnectionSettings settings) override {
    Note("SetConnectionSettings", std::to_string(settings.port));
  }
  void SetSenderAddress(std::string address) override { Note("SetSenderAddress", address); }
  void SetSenderName(std::string name) override { Note("SetSenderName", name); }
  void AddRecipient(std::string address) override { Note("AddRecipient", address); }
  void SetSubject(std::string subject) override { Note("SetSubject", subject); }
  void SetBody(std::string body) override { Note("SetBody", body); }
  void AddAttachment(std::string path) override { Note("AddAttachment", path); }
  void SetMailerIdentification(std::string text) override { Note("SetMailerIdentification", text); }
  void SetWholeMessage(std::string message) override { Note("SetWholeMessage", message); }
  void Send() override {
    Note("Send", "");
    owner_.sent_.push_back(script_);
    const std::vector<smtp::SendFailure> refused = RefusedRecipients();
    if (script_.failure == 0 && !refused.empty() &&
        refused.size() == static_cast<std::size_t>(std::count_if(
                              script_.calls.begin(), script_.calls.end(), [](const std::string& c) {
                                return c.starts_with("AddRecipient:");
                              }))) {
      // Every recipient refused: the last reply decides the failure, as libcurl's does.
      throw smtp::SendFailure(smtp::failure::kRecipientRefused, refused.back().what(),
                              refused.back().ReplyCode(), refused.back().ReplyText());
    }
    if (script_.failure != 0) {
      // A number that is a reply code comes with that reply.
      const bool reply = script_.failure >= 400 && script_.failure < 600;
      throw smtp::SendFailure(script_.failure, "scripted failure", reply ? script_.failure : 0,
                              reply ? "scripted reply" : "");
    }
  }
  void SetMessageIdentity(std::string messageId,
                          std::chrono::system_clock::time_point date) override {
    Note("SetMessageIdentity", messageId);
    Note("SetDate", std::to_string(std::chrono::system_clock::to_time_t(date)));
  }
  std::string ServerUsed() const override { return owner_.serverUsed; }
  std::vector<smtp::SendFailure> RefusedRecipients() const override {
    std::vector<smtp::SendFailure> refused;
    for (const std::string& call : script_.calls) {
      const std::string address = call.substr(call.find(':') + 1);
      const auto code = owner_.refuse.find(address);
      if (call.starts_with("AddRecipient:") && code != owner_.refuse.end()) {
        refused.emplace_back(smtp::failure::kRecipientRefused, address, code->second,
                             code->second < 500 ? "try later" : "no such user");
      }
    }
    return refused;
  }
  std::optional<smtp::SendFailure> Warning() const override {
    if (script_.warning == 0) {
      return std::nullopt;
    }
    return smtp::SendFailure(script_.warning, "scripted warning");
  }

 private:
  void Note(const char* what, const std::string& value) {
    script_.calls.push_back(std::string(what) + ":" + value);
  }
  ScriptedMails& owner_;
  MailScript script_;
};

MailFactory ScriptedMails::Factory() {
  return [this]() -> std::unique_ptr<MailPort> {
    MailScript script = scripts_.empty() ? MailScript{} : scripts_[next_];
    script.calls.clear();
    if (next_ + 1 < scripts_.size()) {
      ++next_;
    }
    return std::make_unique<ScriptedMail>(*this, std::move(script));
  };
}

}  // namespace quillpost::relay::testing
