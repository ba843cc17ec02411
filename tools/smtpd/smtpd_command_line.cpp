#include "smtpd_command_line.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <utility>

#include "cli/config_lines.h"
#include "cli/shown_argument.h"
#include "smtpd_setting_keys.h"

namespace quillpost::smtpd {
namespace {

std::string OptionName(std::string key) {
  std::replace(key.begin(), key.end(), '_', '-');
  return "--" + key;
}

bool IsSettingKey(const std::string& key) {
  const auto& keys = SettingKeys();
  return std::any_of(keys.begin(), keys.end(), [&](const SettingKey& k) { return k.key == key; });
}

void ApplyConfigFile(SmtpdSettings& settings, const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    throw UsageError("cannot read config file " + path);
  }
  cli::ReadConfigLines<UsageError>(in, path, [&](std::string_view key, std::string_view value) {
    ApplySetting(settings, key, value);
  });
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  std::optional<std::string> configFile;
  std::vector<std::pair<std::string, std::string>> options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      result.help = true;
      return result;
    }
    if (argument == "--version") {
      result.version = true;
      return result;
    }
    if (!argument.starts_with("--") || argument.size() == 2) {
      throw UsageError("unexpected argument '" + cli::ShownArgument(argument) + "' (see --help)");
    }
    std::string key = argument.substr(2);
    std::optional<std::string> value;
    if (const auto equals = key.find('='); equals != std::string::npos) {
      value = key.substr(equals + 1);
      key.resize(equals);
    }
    std::replace(key.begin(), key.end(), '-', '_');
    if (key != "config" && !IsSettingKey(key)) {
      throw UsageError("unknown option '" + cli::ShownArgument(argument) + "' (see --help)");
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        throw UsageError(OptionName(key) + " needs a value");
      }
      value = arguments[++i];
    }
    if (key == "config") {
      configFile = *value;
    } else {
      options.emplace_back(std::move(key), std::move(*value));
    }
  }
  if (!configFile) {
    std::error_code error;
    if (std::filesystem::exists(kSystemConfigFile, error)) {
      configFile = kSystemConfigFile;
    }
  }
  if (configFile) {
    ApplyConfigFile(result.settings, *configFile);
  }
  // Addresses given on the command line replace those of the config file.
  if (std::any_of(options.begin(), options.end(),
                  [](const auto& o) { return o.first == "listen"; })) {
    result.settings.listen.clear();
  }
  for (const auto& [key, value] : options) {
    try {
      ApplySetting(result.settings, key, value);
    } catch (const UsageError& e) {
      throw UsageError(OptionName(key) + ": " + e.what());
    }
  }
  return result;
}

std::string HelpText() {
  std::string text =
      "Usage: quillpost-smtpd [--config FILE] [--listen ADDRESS:PORT]... [OPTION VALUE]...\n"
      "Takes mail by SMTP from local programs and puts each message on the relay's\n"
      "inbound queue; answers 250 only once the message is on the disk.\n\n"
      "  --config FILE                   settings file (default " +
      std::string(kSystemConfigFile) +
      " when it exists)\n"
      "  --help                          show this text\n"
      "  --version                       show the version\n";
  for (const SettingKey& key : SettingKeys()) {
    std::string option = OptionName(std::string(key.key)) + " " + std::string(key.argument);
    option.resize(std::max<std::size_t>(option.size() + 1, 32), ' ');
    text += "  " + option + std::string(key.help) + "\n";
  }
  text +=
      "\nEvery option is also a config file line: key = value (max_message_size = 1048576).\n"
      "Exit codes: 2 bad settings, 3 start-up failed (address in use, TLS or password files).\n";
  return text;
}

}  // namespace quillpost::smtpd
