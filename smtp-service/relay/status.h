#pragma once

// The relay service: its state record, its start-up and shutdown, and every
// handler that runs on the service's one thread (queue arrivals, the retryswap
// tick). Handlers run one at a time, each to completion; nothing is locked.

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "document/request_reader.h"
#include "document/streamed_request.h"
#include "mail/delivery_notice.h"
#include "queue/queue.h"
#include "relay/delivery_observer.h"
#include "relay/delivery_pool.h"
#include "relay/handler_sink.h"
#include "relay/log_writer.h"
#include "relay/mail_log.h"
#include "relay/mail_port.h"
#include "relay/queue_access.h"
#include "relay/request_identity.h"
#include "relay/service_notifier.h"
#include "relay/settings.h"
#include "relay/status_view.h"
#include "relay/swap_timer.h"

namespace quillpost::relay {

inline constexpr std::string_view kMailerIdentification = "KVR Quillpost v1.0";
inline constexpr int kRequestPriority = 7;

// What the service works with, supplied by whoever builds it.
struct ServiceParts {
  QueueAccess& queues;
  MailFactory makeMail;
  LogWriter& log;
  SwapTimer& retryswap;
  // Ends the process at once; shutdown's last step. Never returns in production.
  std::function<void()> endProcess;
};

class Status {
 public:
  Status(Settings settings, ServiceParts parts);
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;
  ~Status();

  // The view that receives status lines and the hide/show/tray hooks. The
  // view must outlive the service or be replaced before it goes.
  void AttachView(StatusView& view);
  StatusView& View() { return *view_; }
  // Who hears of start-up, progress and shutdown; must outlive the service.
  void AttachNotifier(ServiceNotifier& notifier) { notifier_ = &notifier; }
  // Who counts the outcomes for a monitor; must outlive the service.
  void AttachObserver(DeliveryObserver& observer) { observer_ = &observer; }
  // Sends mails on pool's threads, up to maxParallel at a time, instead of
  // one at a time on the service's thread; the pool must outlive the service.
  void AttachDeliveryPool(DeliveryPool& pool, std::size_t maxParallel);
  // Readable when deliveries on the pool have come back: the event loop then
  // calls DeliveriesCompleted. -1 without a pool.
  [[nodiscard]] int CompletionDescriptor() const;
  void DeliveriesCompleted();

  // What became of the requests handled so far.
  struct Outcomes {
    long sent = 0;
    long requeued = 0;
    long deadLettered = 0;
  };
  const Outcomes& HandledSoFar() const { return outcomes_; }

  // Start-up, once, before the event loop runs. A failing step ends start-up
  // there; the failure is reported to the event log and standard error.
  // Returns false when start-up ended early.
  bool Startup();
  // Logs "Server Terminated" and ends the process.
  void Shutdown();

  // Handlers.
  void requestevent_Arrived(queue::OpenQueue& Queue, long Cursor);
  void retryaevent_Arrived(queue::OpenQueue& Queue, long Cursor);
  void retrybevent_Arrived(queue::OpenQueue& Queue, long Cursor);
  void retryswap_Timer();

  // Sends one request; answers "OK" or "ERR". Throws when the request cannot
  // be read (not parseable, an element missing). The mail carries the
  // Message-ID and Date of current_.identity, when the request has one.
  std::string DispatchMail(const std::string& document);
  // Moves message to the retry queue named by TargetRetryQueue with the count
  // below count, or to the dead-letter queue when no try is left or the move
  // fails. Logs what it did; never throws.
  void RequeueForRetry(queue::ReceivedMessage& message, const std::string& document, int count);
  void WriteLog(const std::string& message, const std::string& data);

  // The service state record.
  std::unique_ptr<queue::OpenQueue> InboundQueue;
  std::unique_ptr<queue::OpenQueue> RetryQueueA;
  std::unique_ptr<queue::OpenQueue> RetryQueueB;
  // Called with a receive queue opened again in place of a replaced one, so
  // the event loop watches the new queue's descriptor.
  std::function<void(queue::OpenQueue&)> QueueReopened;
  std::string InboundQueueName;
  std::string RetryQueueNameA;
  std::string RetryQueueNameB;
  std::string DeadLetterQueueName;
  std::string SmtpServer;
  std::string LogFile;
  std::int16_t RetryAllowance = 0;
  std::string ActiveRetryQueue;
  std::string TargetRetryQueue;

  // The arrival sinks, one per receive queue.
  HandlerSink requestevent;
  HandlerSink retryAevent;
  HandlerSink retrybevent;

 private:
  // A queue whose notification is left unarmed until the next retryswap tick:
  // a retry queue without the turn, or a queue whose store just failed.
  struct Parking {
    bool inbound = false;
    bool retryA = false;
    bool retryB = false;
  };
  enum class After { Rearm, Park };

  // What the handler at work knows of the try of its request.
  struct CurrentTry {
    std::string document;  // what goes on to a queue: the request written anew
    std::optional<RequestIdentity> identity;
    std::chrono::system_clock::time_point takenAt;  // when this try began
    std::string from;
    std::vector<std::string> to;         // recipients the mail has still to reach
    std::vector<std::string> delivered;  // recipients the server took it for
    int number = 0;                      // failure number; 0: none
    int replyCode = 0;
    std::string detail;      // the server's reply or the local reason
    std::string serverUsed;  // the server list item that answered; empty: none yet
    // Each recipient the server refused, with its own reply.
    std::vector<smtp::SendFailure> refused;
    // The recipients given up on, for the notice to their sender that goes
    // out once the request is dead-lettered.
    std::vector<smtp::NoticeRecipient> givenUp;
    std::string delayNotice;  // the id of the delay notice this try sent
    // A request read from its store a piece at a time: where the text of its
    // whole message lies in the stored body, which a move keeps there.
    std::optional<document::TextRange> keptText;
  };

  void OpenAndArm(const std::string& pathName, std::unique_ptr<queue::OpenQueue>& slot,
                  HandlerSink& sink);

  // DispatchMail on a request read already.
  std::string DispatchRequest(const document::RequestReader& request);
  // Shows the request's status lines and fills in its mail, ready to send.
  // whole: the request's whole message, when it is read from its store as
  // it is sent.
  std::unique_ptr<MailPort> PrepareMail(const document::RequestReader& request,
                                        std::unique_ptr<message::ByteSource> whole = nullptr);
  // Reads the request message carries into request: from memory, or, when
  // its body was left out, from its store with the whole message's text
  // left where it is; then returns that whole message, read as it is sent
  // (held_request.cpp).
  std::unique_ptr<message::ByteSource> ReadHeldRequest(
      queue::ReceivedMessage& message, std::optional<document::RequestReader>& request);
  // Finishes message and sends next on to pathName, keeping in the store
  // the whole message of a request read from there.
  void MoveOn(queue::ReceivedMessage& message, const std::string& pathName,
              const queue::Message& next);
  // Sends mail here and now; answers as DispatchMail.
  std::string DispatchPrepared(MailPort& mail);
  // What the send of mail came to, given what Send threw: "OK" or "ERR".
  std::string ConcludeSend(MailPort& mail, const std::exception_ptr& failure);
  // After the send: counts the try, then finishes, re-queues or dead-letters
  // message as answer says.
  After ConcludeTry(queue::ReceivedMessage& message, const document::RequestReader& request,
                    const std::string& queueName,
                    const std::function<std::optional<int>()>& countOnFailure,
                    const std::string& answer);
  // Room for one more delivery: always without a pool.
  [[nodiscard]] bool HasRoom() const;
  // Arms the queues left unarmed (the inbound queue, and the retry queue
  // that has the turn).
  void RearmParked();
  // A session the relay host would not open while others were under way, or
  // just after a delivery: the host allows no more. The request goes back to
  // its queue untried.
  bool SessionRefused(const std::exception_ptr& failure) const;
  void LowerCeiling(const std::exception_ptr& failure);
  void RaiseCeiling();
  After HandleRequest(queue::ReceivedMessage& message);
  void RetryArrived(queue::OpenQueue& queue, const std::string& letter, HandlerSink& sink,
                    bool& parked);
  After HandleRetry(queue::ReceivedMessage& message, const std::string& letter);
  // Dispatches a held request; on failure re-queues it with the count that
  // countOnFailure gives, or dead-letters it when that count cannot be read.
  After DispatchHeld(queue::ReceivedMessage& message, const std::string& queueName,
                     const std::function<std::optional<int>()>& countOnFailure);

  // Moves message to the dead-letter queue and logs why. Returns false (and
  // logs that too) when the store refused the move.
  bool DeadLetter(queue::ReceivedMessage& message, const std::string& why, const std::string& data);
  // The error path of a handler: whatever failed, the message in hand is not lost.
  static bool IsOversized(const queue::ReceivedMessage& message);
  // Dead-letters a request over the body limit without dispatching it; sets
  // it aside when even that fails.
  After DeadLetterOversized(queue::ReceivedMessage& message, const std::string& queueName);
  After RescueAfterFailure(std::optional<queue::ReceivedMessage>& message,
                           const std::string& queueName, const std::string& what);
  void Rearm(queue::OpenQueue& queue, HandlerSink& sink, bool& parked);
  // Opens and arms again, by name, every receive queue that is no longer the
  // queue of its name.
  void RenewReplacedQueues();
  void RenewIfReplaced(const std::string& pathName, std::unique_ptr<queue::OpenQueue>& slot,
                       HandlerSink& sink, bool& parked);
  void ReportFailure(const std::string& text);
  // Counts one outcome and passes the new totals to the notifier.
  void Count(long Outcomes::*outcome);
  std::string OutcomesText() const;

  // Notes a failed send (or a refusal of some recipients) in current_ and
  // writes its activity log entry.
  void NoteSendFailure(const smtp::SendFailure& failure);
  // Notes the recipients the server refused as the ones still to reach, and
  // logs them with their replies.
  void NoteRefusedRecipients(std::vector<smtp::SendFailure> refused);
  static std::string RefusalsText(const std::vector<smtp::SendFailure>& refused);
  // "550 5.1.1 text": the server's reply in failure.
  static std::string ReplyOf(const smtp::SendFailure& failure);
  // The reply when the server gave one, else what went wrong here.
  static std::string Detail(const smtp::SendFailure& failure);
  static int MildestReply(const std::vector<smtp::SendFailure>& refused);
  // Gives up at once on the refused recipients whose reply was permanent: a
  // copy of the request for them alone goes to the dead-letter queue, and
  // only the others are left in current_ to be tried again. Returns what the
  // handler does next when nothing is left to try again.
  std::optional<After> GiveUpPermanentRefusals(queue::ReceivedMessage& message,
                                               const document::RequestReader& request);
  // "Id=..., Relay=host:port, Reply=...": the detail of a failure entry.
  // The relay named is the smarthost that answered, when one did.
  std::string FailureData() const;
  std::string RelayName() const;
  // The last failure as a queue message carries it.
  std::string LastFailureText(const std::string& fallback) const;
  void RecordOutcome(maillog::Status status, const std::vector<std::string>& to,
                     const std::string& detail, const std::string& notice = {}) const;
  // Notes the recipients of current_.to as given up on with the last
  // failure: with status, or (when empty) the one its reply gives.
  void NoteGivenUp(const std::string& status);
  // Recipient to as a notice names it, with its own reply when it was
  // refused on its own, and fallbackStatus when the reply gives none.
  smtp::NoticeRecipient NoticeRecipientOf(const std::string& to,
                                          const std::string& fallbackStatus) const;
  // Queues a notice of current_.givenUp to the sender of the request in
  // current_.document (or body), unless it has none; returns the notice's id,
  // or empty when none went on the queue. Never throws.
  std::string SendNotice(const std::string& body);
  // With delay notices on, tells the sender of a request deferred for
  // delayWarningTime that it is late, once: returns document with that
  // noted, or as it is. Never throws.
  std::string WarnOfDelay(const std::string& document);
  // Writes the notice's request and puts it on the inbound queue; returns its
  // id, or empty when the request has the null sender. Throws on failure.
  std::string QueueNotice(const document::RequestReader& request, const std::string& action,
                          std::vector<smtp::NoticeRecipient> recipients);
  // "Id=..., Error=...": call only inside a catch block.
  std::string NoticeFailureData() const;
  // Puts message on the retry queue named by TargetRetryQueue, not due
  // before wait has passed; logs it. False (with the failure logged) when the
  // store refused.
  bool SendToRetryQueue(queue::ReceivedMessage& message, const std::string& document,
                        const std::string& label, std::chrono::milliseconds wait);

  Settings settings_;
  ServiceParts parts_;
  NullStatusView nullView_;
  StatusView* view_;
  NullServiceNotifier nullNotifier_;
  ServiceNotifier* notifier_;
  NullDeliveryObserver nullObserver_;
  DeliveryObserver* observer_;
  Outcomes outcomes_;
  Parking parked_;
  CurrentTry current_;
  // Requests that could neither be dispatched nor moved: kept in hand, so no
  // receiver takes them again, until the relay stops.
  std::vector<queue::ReceivedMessage> setAside_;

  // A request whose mail is on its way on the pool.
  struct InFlight {
    CurrentTry current;
    queue::ReceivedMessage message;
    document::RequestReader request;
    std::string queueName;
    std::function<std::optional<int>()> countOnFailure;
  };
  DeliveryPool* pool_ = nullptr;
  std::map<std::uint64_t, InFlight> inFlight_;
  std::uint64_t lastTicket_ = 0;
  std::size_t maxParallel_ = 1;
  std::size_t ceiling_ = 1;
  // The ceiling does not grow again before this, after a host refused a session.
  std::chrono::steady_clock::time_point holdCeilingUntil_{};
  std::chrono::steady_clock::time_point lastDelivered_{};
  // A store that failed to take a finished request back: no new deliveries
  // before the next tick, so that nothing is sent again and again.
  bool holdOffUntilTick_ = false;
};

}  // namespace quillpost::relay
