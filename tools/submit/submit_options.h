#pragma once

// The command line of quillpost-submit.

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace quillpost::submit {

// A command line that cannot be used; what() says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class BodySource {
  Text,   // --body TEXT
  File,   // --body-file FILE ("-" is standard input)
  Input,  // neither: standard input, unless it is a terminal
};

struct SubmitOptions {
  std::optional<std::string> from;
  std::string name;
  std::vector<std::string> recipients;
  std::optional<std::string> subject;
  BodySource bodySource = BodySource::Input;
  std::string body;      // the text for BodySource::Text
  std::string bodyFile;  // the file for BodySource::File
  std::vector<std::string> attachments;
  std::string queue = "kvr_mailer";
  bool print = false;
  bool help = false;
};

// Parses argv[1..argc-1]. Throws UsageError.
SubmitOptions ParseOptions(const std::vector<std::string>& arguments);

// The text that --help prints.
std::string HelpText();

}  // namespace quillpost::submit
