// Recipients judged one by one: a recipient the server refused for good (a
// 5xx reply) is given up at once, while one refused for now (4xx) is tried
// again with the request, whatever order the replies came in.

#include "document/request_rewrite.h"
#include "relay/current_failure.h"
#include "relay/retry_label.h"
#include "relay/status.h"

namespace quillpost::relay {
namespace {

bool RefusedForGood(const smtp::SendFailure& refusal) {
  return refusal.ReplyCode() >= 500 && refusal.ReplyCode() <= 599;
}

}  // namespace

std::optional<Status::After> Status::GiveUpPermanentRefusals(
    queue::ReceivedMessage& message, const document::RequestReader& request) {
  std::vector<smtp::SendFailure> forGood;
  std::vector<smtp::SendFailure> forNow;
  for (smtp::SendFailure& refusal : current_.refused) {
    (RefusedForGood(refusal) ? forGood : forNow).push_back(std::move(refusal));
  }
  current_.refused.clear();
  if (forGood.empty()) {
    return std::nullopt;
  }
  std::vector<std::string> givenUp;
  for (const smtp::SendFailure& refusal : forGood) {
    givenUp.emplace_back(refusal.what());
    const std::string reply = ReplyOf(refusal);
    current_.givenUp.push_back({refusal.what(), smtp::EnhancedStatus(reply, "5.0.0"), reply, {}});
  }
  const std::string why = "Recipient(s) refused for good; moved to dead-letter queue";
  const std::string data = "Refused=" + RefusalsText(forGood);
  document::RequestChanges changes;
  changes.tries = current_.identity ? current_.identity->tries : 0;
  changes.to = givenUp;
  current_.to = givenUp;
  current_.replyCode = MildestReply(forGood);
  current_.detail = RefusalsText(forGood);
  current_.document = document::RewriteRequest(request, changes);
  if (forNow.empty()) {
    return DeadLetter(message, why, data) ? After::Rearm : After::Park;
  }

  // Some may still pass: those given up go to the dead-letter queue on their
  // own, and the request goes on for the others.
  queue::Message dead{std::string(kInboundLabel), current_.document, kRequestPriority};
  dead.lastFailure = LastFailureText("");
  try {
    parts_.queues.Send(DeadLetterQueueName, dead);
    WriteLog(why, data);
    Count(&Outcomes::deadLettered);
    RecordOutcome(maillog::Status::Bounced, givenUp, current_.detail, SendNotice(dead.body));
    current_.refused = std::move(forNow);
  } catch (...) {
    // Nothing is lost: they are tried again with the others.
    WriteLog("Unable to move request to dead-letter queue",
             "Queue=" + queue::RedactPathName(DeadLetterQueueName) + ", Error=" + CurrentFailure());
    current_.refused = std::move(forGood);
    current_.refused.insert(current_.refused.end(), forNow.begin(), forNow.end());
  }
  current_.givenUp.clear();
  current_.to.clear();
  for (const smtp::SendFailure& refusal : current_.refused) {
    current_.to.emplace_back(refusal.what());
  }
  current_.replyCode = MildestReply(current_.refused);
  current_.detail = RefusalsText(current_.refused);
  changes.to = current_.to;
  current_.document = document::RewriteRequest(request, changes);
  return std::nullopt;
}

}  // namespace quillpost::relay
