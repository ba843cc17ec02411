#pragma once

// Follows one SMTP transaction from the protocol lines the client sends and
// receives, so that a failure can be pinned on the stage where it happened
// and on the server's reply there.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillpost::smtp {

enum class Stage {
  Connecting,  // nothing received yet
  Greeting,    // the server's greeting arrived; no command sent yet
  Hello,       // EHLO or HELO sent
  StartTls,
  Auth,
  Mail,
  Recipient,
  Data,      // DATA sent, waiting for its go-ahead
  Content,   // the message is being sent or its reply awaited
  Accepted,  // the server took the message
  Quit,
};

struct Reply {
  int code = 0;      // 0: no reply
  std::string text;  // the lines' texts joined by spaces
};

class SmtpDialogue {
 public:
  // Forget everything; a new transfer starts.
  void Reset();

  // A line (or lines) the client sent as a command.
  void CommandSent(std::string_view text);
  // Bytes of the message itself went out.
  void ContentSent();
  // Bytes of server replies; may hold several lines or part of one.
  void ReplyReceived(std::string_view text);

  Stage CurrentStage() const { return stage_; }
  // The final reply to the last command (or to the message), if any came.
  const Reply& LastReply() const { return reply_; }
  bool Accepted() const { return accepted_; }
  // QUIT was sent after the message was accepted but was not answered with 221.
  bool EndedBadly() const { return accepted_ && quitSent_ && !quitConfirmed_; }
  bool AnythingReceived() const { return anythingReceived_; }
  // Each recipient given in RCPT TO with the final reply to it, in order.
  const std::vector<std::pair<std::string, Reply>>& RecipientReplies() const {
    return recipientReplies_;
  }
  // The server's EHLO reply listed AUTH; an AUTH command went out.
  bool AuthOffered() const { return authOffered_; }
  bool AuthSent() const { return authSent_; }
  bool HelloSent() const { return helloSent_; }

 private:
  void FinalReply(int code);

  Stage stage_ = Stage::Connecting;
  Reply reply_;
  std::string pendingLine_;
  std::string pendingText_;
  bool accepted_ = false;
  bool quitSent_ = false;
  bool quitConfirmed_ = false;
  bool anythingReceived_ = false;
  std::vector<std::pair<std::string, Reply>> recipientReplies_;
  bool authOffered_ = false;
  bool authSent_ = false;
  bool helloSent_ = false;
};

}  // namespace quillpost::smtp
