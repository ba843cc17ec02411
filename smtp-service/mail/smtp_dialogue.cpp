#include "mail/smtp_dialogue.h"

#include <algorithm>

namespace quillpost::smtp {
namespace {

// A reply line is at most 512 octets; a server that sends more, or an
// endless run of continuation lines, must not make the relay hold it all.
// What is kept goes into log lines and failure texts.
constexpr std::size_t kLongestLineKept = 1024;
constexpr std::size_t kLongestReplyKept = 4096;

bool StartsWithCommand(std::string_view line, std::string_view command) {
  if (line.size() < command.size()) {
    return false;
  }
  return std::equal(command.begin(), command.end(), line.begin(), [](char a, char b) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    return a == upper(b);
  });
}

// A command that stands alone on its line ("DATA\r\n").
bool IsBareCommand(std::string_view line, std::string_view command) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) {
    line.remove_suffix(1);
  }
  return line.size() == command.size() && StartsWithCommand(line, command);
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The address of "RCPT TO:<address>\r\n".
std::string RecipientOf(std::string_view command) {
  const std::size_t open = command.find('<');
  const std::size_t close = command.rfind('>');
  if (open == std::string_view::npos || close == std::string_view::npos || close < open) {
    return {};
  }
  return std::string(command.substr(open + 1, close - open - 1));
}

}  // namespace

void SmtpDialogue::Reset() {
  *this = SmtpDialogue();
}

void SmtpDialogue::CommandSent(std::string_view text) {
  // SASL exchanges send base64 lines. Those never hold a space or a colon;
  // a bare DATA or STARTTLS cannot come during AUTH, so there such a line is
  // taken for SASL. QUIT is always QUIT.
  const bool inAuth = stage_ == Stage::Auth;
  Stage next = stage_;
  if (StartsWithCommand(text, "EHLO ") || StartsWithCommand(text, "HELO ")) {
    next = Stage::Hello;
    helloSent_ = true;
  } else if (!inAuth && IsBareCommand(text, "STARTTLS")) {
    next = Stage::StartTls;
  } else if (StartsWithCommand(text, "AUTH ")) {
    next = Stage::Auth;
    authSent_ = true;
  } else if (StartsWithCommand(text, "MAIL FROM:")) {
    next = Stage::Mail;
  } else if (StartsWithCommand(text, "RCPT TO:")) {
    next = Stage::Recipient;
    recipientReplies_.emplace_back(RecipientOf(text), Reply{});
  } else if (!inAuth && IsBareCommand(text, "DATA")) {
    next = Stage::Data;
  } else if (IsBareCommand(text, "QUIT")) {
    quitSent_ = true;
    if (!accepted_) {
      return;  // ending a failed session: the stage of the failure is what counts
    }
    next = Stage::Quit;
  } else if (!inAuth) {
    return;  // RSET, NOOP and the like change nothing
  }
  stage_ = next;
  reply_ = Reply{};
  pendingText_.clear();
}

void SmtpDialogue::ContentSent() {
  if (stage_ == Stage::Data) {
    stage_ = Stage::Content;
  }
}

void SmtpDialogue::ReplyReceived(std::string_view text) {
  anythingReceived_ = anythingReceived_ || !text.empty();
  for (;;) {
    const std::size_t end = text.find('\n');
    const std::string_view piece = text.substr(0, end);
    pendingLine_.append(
        piece.substr(0, kLongestLineKept - std::min(pendingLine_.size(), kLongestLineKept)));
    if (end == std::string_view::npos) {
      return;
    }
    text.remove_prefix(end + 1);
    std::string line = std::move(pendingLine_);
    pendingLine_.clear();
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) {
      continue;  // not a reply line
    }
    const bool last = line.size() == 3 || line[3] != '-';
    const std::string_view lineText =
        line.size() > 4 ? std::string_view(line).substr(4) : std::string_view{};
    if (pendingText_.size() < kLongestReplyKept) {
      if (!pendingText_.empty() && !lineText.empty()) {
        pendingText_ += ' ';
      }
      pendingText_ += lineText.substr(0, kLongestReplyKept - pendingText_.size());
    }
    if (stage_ == Stage::Hello &&
        (StartsWithCommand(lineText, "AUTH ") || StartsWithCommand(lineText, "AUTH="))) {
      authOffered_ = true;
    }
    if (last) {
      FinalReply((line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0'));
    }
  }
}

void SmtpDialogue::FinalReply(int code) {
  if (quitSent_) {
    // The answer to QUIT says nothing about the mail.
    quitConfirmed_ = quitConfirmed_ || code == 221;
    pendingText_.clear();
    return;
  }
  reply_ = Reply{code, std::move(pendingText_)};
  pendingText_.clear();
  switch (stage_) {
    case Stage::Connecting:
      stage_ = Stage::Greeting;
      break;
    case Stage::Recipient:
      if (!recipientReplies_.empty()) {
        recipientReplies_.back().second = reply_;
      }
      break;
    case Stage::Data:
      if (code / 100 == 3) {
        stage_ = Stage::Content;
        reply_ = Reply{};
      }
      break;
    case Stage::Content:
      if (code / 100 == 2) {
        stage_ = Stage::Accepted;
        accepted_ = true;
      }
      break;
    default:
      break;
  }
}

}  // namespace quillpost::smtp
