#include "relay/failure_table.h"

#include "mail/outgoing_mail.h"

namespace quillpost::relay {

LogEntry DescribeSendFailure(int number) {
  switch (number) {
    case 1:
    case 10:
      return {"Unable to connect to specified SMTP server", ""};
    case 20:
      return {"SMTP server is connected but won't listen", ""};
    case 30:
      return {"SMTP server has rejected the senders addresses", ""};
    case 40:
      return {"SMTP server has rejected the recipient(s)", ""};
    case 50:
      return {"SMTP server is not ready to recieve your message", ""};
    case 60:
      return {"STMP server timed out whilst recieving your message", ""};
    case 70:
      return {"Unable to terminate session *nicely*", ""};
    case 100:
    case 101:
      return {"Unable to locate/access specified attachment(s)", ""};
    case 200:
      return {"Recipient(s) addresses invalid", ""};
    case smtp::failure::kAuthenticationImpossible:
      return {"SMTP server offers no authentication for the configured user", ""};
    default:
      return {"Undetermined event attepting to send mail (data is err code)",
              std::to_string(number)};
  }
}

}  // namespace quillpost::relay
