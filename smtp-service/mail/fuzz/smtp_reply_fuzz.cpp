// Plays an arbitrary exchange through SmtpDialogue: the input is split at NUL
// bytes, and the first byte of each piece says what it is (C: a command sent,
// R: reply bytes received, D: message content sent, X: a new transfer). The
// dialogue must never crash, and what it answers must stay consistent.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "mail/smtp_dialogue.h"

namespace {

void Check(const quillpost::smtp::SmtpDialogue& dialogue) {
  using quillpost::smtp::Stage;
  const int code = dialogue.LastReply().code;
  if (code < 0 || code > 999) {
    std::abort();
  }
  if (dialogue.CurrentStage() == Stage::Accepted && !dialogue.Accepted()) {
    std::abort();
  }
  if (dialogue.EndedBadly() && !dialogue.Accepted()) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  quillpost::smtp::SmtpDialogue dialogue;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\0');
    const std::string_view piece = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    if (piece.empty()) {
      continue;
    }
    const std::string_view text = piece.substr(1);
    switch (piece.front()) {
      case 'C':
        dialogue.CommandSent(text);
        break;
      case 'R':
        dialogue.ReplyReceived(text);
        break;
      case 'D':
        dialogue.ContentSent();
        break;
      case 'X':
        dialogue.Reset();
        break;
      default:
        break;
    }
    Check(dialogue);
  }
  return 0;
}
