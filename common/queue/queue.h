#pragma once

// Message queue access, used by the submission library (to send requests) and
// by the relay (to receive them and to move them between its queues).
//
// A queue is named by a path name. A plain name ("kvr_mailer") names a queue in
// the default store; other forms name a queue in another store (see
// docs/queues.md). Nothing in this header depends on how a store keeps its
// messages.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "queue/queue_info.h"

namespace quillpost::queue {

inline constexpr std::size_t kMaxLabelLength = 250;
// The largest body a sender may store: room for a request that carries a
// whole message of 40 MiB in base64, with its envelope.
inline constexpr std::size_t kMaxBodyBytes = std::size_t{64} * 1024 * 1024;
// A queue on a broker takes less: the AMQP client receives every message
// whole into memory, and so would every relay session that holds one.
inline constexpr std::size_t kMaxBrokerBodyBytes = std::size_t{4} * 1024 * 1024;
// What a receiver reads: a body a sender stored, with room for what a relay
// adds to it when it moves it on (its count of tries), so that a move never
// makes a message too large for the next receiver. Larger bodies were written
// by hand and are measured, never read.
inline constexpr std::size_t kMaxReceivedBodyBytes = kMaxBodyBytes + 64 * 1024;
// A received body up to this size comes in memory (ReceivedMessage::Body());
// a larger one stays in its store and is read a piece at a time
// (ReceivedMessage::OpenBody()).
inline constexpr std::size_t kMaxHeldBodyBytes = kMaxBrokerBodyBytes + 64 * 1024;
inline constexpr int kLowestPriority = 0;
inline constexpr int kHighestPriority = 7;

// Every failure of the queue layer is a QueueError (or derived from it).
class QueueError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The path name names no existing queue.
class NoSuchQueue : public QueueError {
 public:
  using QueueError::QueueError;
};

// A message refused before anything was stored: label too long, body too
// large, priority out of range.
class InvalidMessage : public QueueError {
 public:
  using QueueError::QueueError;
};

enum class Access { Receive = 1, Send = 2 };
enum class ShareMode { DenyNone = 0 };

struct Message {
  Message() = default;
  Message(std::string label_, std::string body_, int priority_ = 3)
      : label(std::move(label_)), body(std::move(body_)), priority(priority_) {}

  std::string label;
  std::string body;
  int priority = 3;
  // Not handed to a receiver, nor reported, before this time; the epoch (the
  // default) means at once.
  std::chrono::system_clock::time_point notBefore{};
  // Why the request this message carries last failed (free text, kept as is
  // by every move); empty when it never failed.
  std::string lastFailure;
  // Set by the store or broker on a received message and ignored when
  // sending: the message's name (see message_name.h; empty when the backend
  // cannot tell) and when it first came into its store or broker (the epoch
  // when that is not known). Both stay the same through every move, and
  // neither can be set by whoever sent the message.
  std::string name;
  std::chrono::system_clock::time_point arrived{};
};

// Throws InvalidMessage when message breaks the limits above.
void CheckMessage(const Message& message);
// The same check for a queue on a broker, whose bodies are smaller.
void CheckBrokerMessage(const Message& message);
// The largest body the queue at pathName takes from a sender, told from the
// path name alone.
std::size_t MaxBodyBytesFor(const std::string& pathName);
// The same check for a message that moves on from one queue to another: its
// body is already stored, so its size is never a reason to refuse the move.
void CheckMovedMessage(const Message& message);

// The path name as logs and error texts may show it: a URL without its user
// and password (amqp://host:port/vhost/queue); anything else unchanged.
std::string RedactPathName(const std::string& pathName);

class OpenQueue;

// Receives arrival reports of one queue.
class ArrivalSink {
 public:
  virtual ~ArrivalSink() = default;
  // A message is, or has become, available on queue. cursor carries nothing.
  virtual void Arrived(OpenQueue& queue, long cursor) = 0;
};

// A received body read a piece at a time. Not thread-safe; it may be used by
// another thread than the one that received its message, and must be
// dropped before that message is finished.
class BodyStream {
 public:
  virtual ~BodyStream() = default;
  virtual std::size_t Size() const = 0;
  // Copies up to length bytes from offset on to out and returns how many;
  // fewer only at the end. Throws QueueError.
  virtual std::size_t Read(std::size_t offset, char* out, std::size_t length) = 0;
};

// The part of a received body that a message moved on keeps: length bytes
// from offset `from` on go into the new body at offset `at`.
struct KeptBody {
  std::size_t at = 0;
  std::size_t from = 0;
  std::size_t length = 0;
};

// What a store keeps of a message that a receiver holds. Backends implement it.
class HeldMessage {
 public:
  virtual ~HeldMessage() = default;
  virtual void Finish() = 0;
  virtual void FinishAndSend(const std::string& pathName, const Message& next) = 0;
  virtual void Release() noexcept = 0;
  // For a body left out: reads it where it is stored, and moves a message on
  // that keeps a part of it, copied within the store. Backends that never
  // leave a body out throw QueueError.
  virtual std::unique_ptr<BodyStream> OpenStoredBody();
  virtual void FinishAndSendKeeping(const std::string& pathName, const Message& next,
                                    const KeptBody& kept);
};

// A message taken off a queue. It is hidden from every other receiver until it
// is finished; dropping it unfinished returns it to its queue, and so does the
// death of the receiving process.
class ReceivedMessage {
 public:
  // leftOutBodySize: the backend did not read the body, which is larger than
  // kMaxHeldBodyBytes; message.body is empty.
  ReceivedMessage(Message message, std::unique_ptr<HeldMessage> hold,
                  std::optional<std::size_t> leftOutBodySize = std::nullopt);
  ~ReceivedMessage();
  ReceivedMessage(ReceivedMessage&&) noexcept;
  ReceivedMessage& operator=(ReceivedMessage&&) noexcept;
  ReceivedMessage(const ReceivedMessage&) = delete;
  ReceivedMessage& operator=(const ReceivedMessage&) = delete;

  const std::string& Label() const { return message_.label; }
  const std::string& Body() const { return message_.body; }
  // The body's size in bytes, also when it was left out.
  std::size_t BodySize() const { return leftOutBodySize_.value_or(message_.body.size()); }
  // True when the body is larger than kMaxHeldBodyBytes and was not read:
  // Body() is empty, OpenBody() reads it, and FinishAndSend moves the stored
  // body on, whatever next.body holds.
  bool BodyLeftOut() const { return leftOutBodySize_.has_value(); }
  // Reads the body, also one left out, a piece at a time. Throws QueueError.
  std::unique_ptr<BodyStream> OpenBody() const;
  int Priority() const { return message_.priority; }
  // Why the request it carries last failed; empty when it never did.
  const std::string& LastFailure() const { return message_.lastFailure; }
  // Who the message is, as its store or broker knows it (see Message).
  const std::string& Name() const { return message_.name; }
  std::chrono::system_clock::time_point Arrived() const { return message_.arrived; }

  // Removes the message from the store for good. Throws QueueError when the
  // store has given the message back to its queue in the meantime (it took
  // this process for ended) or has already been finished.
  void Finish();

  // Removes the message and sends next to the queue at pathName. pathName must
  // name a queue of the same store (or broker). In a store this is one atomic
  // step: the move can neither lose nor duplicate the message. On a broker it
  // is at least once: next is stored first, so a failure in between leaves the
  // message on both queues, never on neither. OpenQueue::MovesAtomically()
  // tells which.
  void FinishAndSend(const std::string& pathName, const Message& next);
  // The same, the new body being next.body with a part of this message's
  // body put in (see KeptBody): a body left out is copied within its store a
  // piece at a time, never read into memory.
  void FinishAndSendKeeping(const std::string& pathName, const Message& next, const KeptBody& kept);

  // True until Finish or FinishAndSend succeeded.
  bool Held() const { return hold_ != nullptr; }

 private:
  Message message_;
  std::unique_ptr<HeldMessage> hold_;
  std::optional<std::size_t> leftOutBodySize_;
};

// An open queue. Not thread-safe: one thread uses one open queue.
class OpenQueue {
 public:
  virtual ~OpenQueue() = default;

  virtual const std::string& PathName() const = 0;
  virtual Access OpenedFor() const = 0;

  // Receive access: takes the first waiting message (highest priority first,
  // oldest first within a priority), waiting up to timeout for one; zero
  // returns at once, a negative timeout waits without limit. std::nullopt when
  // none came. Throws NoSuchQueue when the queue has been deleted.
  virtual std::optional<ReceivedMessage> Receive(std::chrono::milliseconds timeout) = 0;

  // Receive access: arms one arrival report to sink. The report comes once,
  // when a message is or becomes available, and only through
  // DeliverNotification(), never from inside Send or EnableNotification.
  virtual void EnableNotification(ArrivalSink& sink) = 0;

  // A file descriptor that becomes readable when a report may be due. Any
  // event loop can wait on it; when it is readable, call DeliverNotification().
  virtual int NotificationDescriptor() const = 0;

  // Calls the armed sink's Arrived when a report is due; otherwise does
  // nothing. Clears the descriptor's readiness.
  virtual void DeliverNotification() = 0;

  // Send access: stores message durably; once this returns the message
  // survives a crash of any process and a power cut. Throws InvalidMessage
  // (nothing stored) or NoSuchQueue when the queue has been deleted.
  virtual void Send(const Message& message) = 0;

  virtual void Close() = 0;

  // False when the queue this was opened on is no longer the queue of its
  // name (deleted, re-created, or its store replaced), so a receiver waiting
  // on it would wait for ever. A broker reports a deleted queue itself.
  virtual bool IsStillTheNamedQueue() { return true; }

  // True when FinishAndSend of the messages received from this queue is one
  // atomic step (a store); false when it is at least once (a broker).
  bool MovesAtomically() const;
};

// Names one queue and opens it.
class QueuePath {
 public:
  explicit QueuePath(std::string pathName);

  const std::string& PathName() const { return pathName_; }

  // Throws NoSuchQueue when the queue does not exist, QueueError otherwise.
  std::unique_ptr<OpenQueue> Open(Access access, ShareMode share = ShareMode::DenyNone) const;

  bool Exists() const;
  // Creates the queue; returns false when it already existed.
  bool Create() const;
  // Deletes the queue with every message on it; throws NoSuchQueue when missing.
  void Delete() const;

  // How many messages wait and which one is first (see QueueDepth); cheap
  // enough to be read every second. Throws NoSuchQueue when the queue is missing.
  QueueDepth Depth(std::optional<std::int64_t> knownHead = std::nullopt) const;

  // True when the queue's backend moves messages between its queues in one
  // atomic step (FinishAndSend, MoveMessages); false when a move is at least
  // once and may leave a message on both queues. Connects to nothing.
  bool MovesAtomically() const;

 private:
  std::string pathName_;
};

}  // namespace quillpost::queue
