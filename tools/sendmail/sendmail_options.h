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

}  // namespace quillpost::sendmail
