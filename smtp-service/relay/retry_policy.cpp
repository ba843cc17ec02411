#include "relay/retry_policy.h"

#include <algorithm>

#include "mail/outgoing_mail.h"

namespace quillpost::relay {

bool IsPermanentFailure(int number, int replyCode) {
  namespace failure = smtp::failure;
  if (replyCode >= 500 && replyCode <= 599) {
    return true;
  }
  // Refused before any connection: the request itself is at fault.
  return number == failure::kAttachmentMissing || number == failure::kAttachmentUnreadable ||
         number == failure::kRecipientInvalid ||
         (number == failure::kSenderRefused && replyCode == 0);
}

std::chrono::milliseconds DeferralInterval(std::chrono::milliseconds queuedFor,
                                           std::chrono::milliseconds shortest,
                                           std::chrono::milliseconds longest) {
  return std::max(shortest, std::min(std::max(queuedFor, shortest), longest));
}

}  // namespace quillpost::relay
