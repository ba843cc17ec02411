#include "submit_options.h"

#include <cstddef>
#include <string_view>

namespace quillpost::submit {
namespace {

struct Argument {
  std::string_view option;
  std::optional<std::string> inlineValue;  // the part after '=' in --option=value
};

Argument Split(std::string_view argument) {
  const std::size_t equals = argument.find('=');
  if (equals == std::string_view::npos) {
    return {argument, std::nullopt};
  }
  return {argument.substr(0, equals), std::string(argument.substr(equals + 1))};
}

class Cursor {
 public:
  explicit Cursor(const std::vector<std::string>& arguments) : arguments_(arguments) {}

  bool Done() const { return next_ >= arguments_.size(); }
  const std::string& Take() { return arguments_[next_++]; }

  // The option's value: inline (--x=v) or the next argument (--x v).
  std::string ValueOf(const Argument& argument) {
    if (argument.inlineValue) {
      return *argument.inlineValue;
    }
    if (Done()) {
      throw UsageError("option " + std::string(argument.option) + " needs a value");
    }
    return Take();
  }

 private:
  const std::vector<std::string>& arguments_;
  std::size_t next_ = 0;
};

void SetOnce(std::optional<std::string>& field, std::string value, std::string_view option) {
  if (field) {
    throw UsageError("option " + std::string(option) + " given twice");
  }
  field = std::move(value);
}

void NoValue(const Argument& argument) {
  if (argument.inlineValue) {
    throw UsageError("option " + std::string(argument.option) + " takes no value");
  }
}

}  // namespace

SubmitOptions ParseOptions(const std::vector<std::string>& arguments) {
  SubmitOptions options;
  std::optional<std::string> name;
  std::optional<std::string> body;
  std::optional<std::string> bodyFile;
  std::optional<std::string> queue;
  Cursor cursor(arguments);
  while (!cursor.Done()) {
    const std::string& raw = cursor.Take();
    const Argument argument = Split(raw);
    const std::string_view option = argument.option;
    if (option == "--help" || option == "-h") {
      NoValue(argument);
      options.help = true;
    } else if (option == "--print") {
      NoValue(argument);
      options.print = true;
    } else if (option == "--from") {
      SetOnce(options.from, cursor.ValueOf(argument), option);
    } else if (option == "--name") {
      SetOnce(name, cursor.ValueOf(argument), option);
    } else if (option == "--to") {
      options.recipients.push_back(cursor.ValueOf(argument));
    } else if (option == "--subject") {
      SetOnce(options.subject, cursor.ValueOf(argument), option);
    } else if (option == "--body") {
      SetOnce(body, cursor.ValueOf(argument), option);
    } else if (option == "--body-file") {
      SetOnce(bodyFile, cursor.ValueOf(argument), option);
    } else if (option == "--attach") {
      options.attachments.push_back(cursor.ValueOf(argument));
    } else if (option == "--queue") {
      SetOnce(queue, cursor.ValueOf(argument), option);
    } else if (option.starts_with("-")) {
      throw UsageError("unknown option " + std::string(option));
    } else {
      throw UsageError("unexpected argument '" + raw + "'");
    }
  }
  if (options.help) {
    return options;
  }
  if (body && bodyFile) {
    throw UsageError("give either --body or --body-file, not both");
  }
  if (name && !options.from) {
    throw UsageError("--name needs --from (the sender's address)");
  }
  if (queue && queue->empty()) {
    throw UsageError("--queue needs a queue path name");
  }
  if (body) {
    options.bodySource = BodySource::Text;
    options.body = std::move(*body);
  } else if (bodyFile) {
    options.bodySource = BodySource::File;
    options.bodyFile = std::move(*bodyFile);
  }
  options.name = name.value_or("");
  if (queue) {
    options.queue = std::move(*queue);
  }
  return options;
}

std::string HelpText() {
  return R"(Usage: quillpost-submit [OPTIONS]

Builds one mail request and puts it on the relay's inbound queue, for shell
scripts and cron jobs. Prints the answer: "OK", or a text beginning "ERR - "
that names what is missing or went wrong.

Options:
  --from ADDRESS     the sender's address
  --name NAME        the sender's display name (needs --from; default empty)
  --to ADDRESS       a recipient; repeat for more, they keep their order
  --subject TEXT     the subject line
  --body TEXT        the body text
  --body-file FILE   read the body text from FILE ("-" for standard input)
  --attach PATH      a file to attach; repeat for more. The relay reads the
                     file when it sends the mail, from its own working
                     directory: give absolute paths
  --queue PATH       the queue to send to (default: kvr_mailer, the relay's
                     inbound queue)
  --print            write the request document to standard output and send
                     nothing
  -h, --help         show this help and exit
  --version          show the version and exit (as the only option)

Every option also takes the form --option=VALUE.

Without --body and --body-file the body is read from standard input, unless
standard input is a terminal: then no body is set and the request is answered
"ERR - No message set!". An empty input gives an empty body.

The queue store is the one the relay uses: $QUILLPOST_STORE when set, else the
user's data directory.

Exit status:
  0  the answer was "OK" (or --print wrote the document, or --help)
  1  the answer was an "ERR - " text; after "ERR - Internal error sending
     message to MSMQ" the cause (no such queue, a busy store, a full disk)
     follows on standard error
  2  bad usage: an unknown option, a missing value, an unreadable body file,
     a body over 4 MiB, or a value holding characters a request cannot carry
)";
}

}  // namespace quillpost::submit
