#pragma once

// The command line of quillpost-sendmail: the options programs pass to
// /usr/sbin/sendmail, with the meanings relay-only mailers give them.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillpost::sendmail {

// A command line that cannot be used; what() says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Mode {
  Deliver,    // -bm, the default: read a message and queue it
  ListQueue,  // -bp, or run as mailq
  Help,       // --help
  Version,    // --version
};

struct SendmailOptions {
  Mode mode = Mode::Deliver;
  std::vector<std::string> recipients;  // the arguments, as given
  bool recipientsFromHeaders = false;   // -t
  bool dotEndsInput = true;             // cleared by -i and -oi
  std::optional<std::string> sender;    // -f or -r, angle brackets removed
  std::optional<std::string> fullName;  // -F
};

// Parses argv[1..argc-1]; programName is argv[0] (as mailq it lists the
// queue). Throws UsageError.
SendmailOptions ParseOptions(const std::string& programName,
                             const std::vector<std::string>& arguments);

inline constexpr const char* kUsage =
    "usage: quillpost-sendmail [-t] [-i] [-f sender] [-F name] [-bm | -bp] [recipient ...]";

inline constexpr const char* kHelp =
    "usage: quillpost-sendmail [-t] [-i] [-f sender] [-F name] [-bm | -bp] [recipient ...]\n"
    "Reads one message from standard input and puts it, whole, on the Quillpost\n"
    "relay's inbound queue ($QUILLPOST_SENDMAIL_QUEUE names another queue).\n"
    "\n"
    "  -t            also send to the To, Cc and Bcc addresses of the message\n"
    "  -i, -oi       a line with a lone \".\" does not end the message\n"
    "  -f ADDRESS    the envelope sender (also -r); default: the message's From\n"
    "  -F NAME       the sender's full name, for a From field that is added\n"
    "  -bm           read a message and queue it (the default)\n"
    "  -bp           list the queue, as mailq does\n"
    "  -odb, -odi, -oem, -oee, -v, -B TYPE, -N DSN and other -o options are\n"
    "  accepted and mean nothing here.\n"
    "  --help        show this text and exit\n"
    "  --version     show the version and exit\n"
    "\n"
    "Exit codes: 0 queued, 64 usage, 65 bad message, 69/74 unavailable or I/O,\n"
    "70 internal error, 75 try again later.\n";

}  // namespace quillpost::sendmail
