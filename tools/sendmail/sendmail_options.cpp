#include "sendmail_options.h"

#include <filesystem>

namespace quillpost::sendmail {
namespace {

std::string WithoutAngleBrackets(std::string address) {
  if (address.size() >= 2 && address.front() == '<' && address.back() == '>') {
    return address.substr(1, address.size() - 2);
  }
  return address;
}

}  // namespace

SendmailOptions ParseOptions(const std::string& programName,
                             const std::vector<std::string>& arguments) {
  SendmailOptions options;
  if (std::filesystem::path(programName).filename() == "mailq") {
    options.mode = Mode::ListQueue;
  }
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "--version") {
      options.mode = argument == "--help" ? Mode::Help : Mode::Version;
      return options;
    }
    if (argument == "--") {
      options.recipients.insert(options.recipients.end(), arguments.begin() + i + 1,
                                arguments.end());
      break;
    }
    if (argument.size() < 2 || argument.front() != '-') {
      options.recipients.push_back(argument);
      continue;
    }
    // Letters without a value may be grouped (-ti); a letter with a value takes
    // the rest of the argument, or the next argument.
    for (std::size_t at = 1; at < argument.size(); ++at) {
      const char letter = argument[at];
      const std::string rest = argument.substr(at + 1);
      const auto value = [&]() -> std::string {
        if (!rest.empty()) {
          return rest;
        }
        if (i + 1 >= arguments.size()) {
          throw UsageError(std::string("option -") + letter + " needs a value");
        }
        return arguments[++i];
      };
      bool restTaken = true;
      switch (letter) {
        case 't':
          options.recipientsFromHeaders = true;
          restTaken = false;
          break;
        case 'i':
          options.dotEndsInput = false;
          restTaken = false;
          break;
        case 'v':
          restTaken = false;
          break;
        case 'f':
        case 'r':
          options.sender = WithoutAngleBrackets(value());
          if (options.sender->empty()) {
            options.sender.reset();  // "<>": the default sender
          }
          break;
        case 'F':
          options.fullName = value();
          break;
        case 'B':  // body type: the message goes as it is
        case 'N':  // delivery status notifications: not asked of the relay host
          value();
          break;
        case 'o':  // -oi; -odb, -odi, -oem, -oee and the rest mean nothing here
          if (rest == "i") {
            options.dotEndsInput = false;
          }
          break;
        case 'b':
          if (rest == "m") {
            options.mode = Mode::Deliver;
          } else if (rest == "p") {
            options.mode = Mode::ListQueue;
          } else {
            throw UsageError("option -b" + rest + " is not supported (only -bm and -bp are)");
          }
          break;
        default:
          throw UsageError(std::string("unknown option -") + letter);
      }
      if (restTaken) {
        break;
      }
    }
  }
  return options;
}

}  // namespace quillpost::sendmail
