#include "relay/command_line.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

#include "cli/shown_argument.h"
#include "relay/attachment_rules.h"
#include "relay/config_file.h"

namespace quillpost::relay {
namespace {

struct Option {
  std::string key;  // smtp_port, or "headless", "config", "help"
  std::optional<std::string> value;
};

// "--smtp-port" -> "smtp_port"; "--smtp-port=25" gives its value too.
std::optional<Option> SplitOption(const std::string& argument) {
  if (argument == "-h") {
    return Option{"help", std::nullopt};
  }
  if (!argument.starts_with("--") || argument.size() == 2) {
    return std::nullopt;
  }
  std::string name = argument.substr(2);
  std::optional<std::string> value;
  if (const auto equals = name.find('='); equals != std::string::npos) {
    value = name.substr(equals + 1);
    name.resize(equals);
  }
  std::replace(name.begin(), name.end(), '-', '_');
  return Option{std::move(name), std::move(value)};
}

bool IsOptionKey(const std::string& key) {
  const auto& keys = SettingKeys();
  return std::any_of(keys.begin(), keys.end(),
                     [&key](const SettingKey& k) { return k.optionToo && k.key == key; });
}

std::string OptionName(std::string key) {
  std::replace(key.begin(), key.end(), '_', '-');
  return "--" + key;
}

// The user's config file when it exists, else the system's when that exists.
std::optional<std::string> FoundConfigFile() {
  for (const std::string& candidate : {DefaultConfigFile(), std::string(kSystemConfigFile)}) {
    std::error_code error;
    if (!candidate.empty() && std::filesystem::exists(candidate, error)) {
      return candidate;
    }
  }
  return std::nullopt;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  CommandLine result;
  std::optional<std::string> configFile;
  std::vector<Option> settingOptions;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::optional<Option> option = SplitOption(arguments[i]);
    if (!option) {
      throw UsageError("unexpected argument '" + arguments[i] + "'");
    }
    if (option->key == "help" || option->key == "version") {
      (option->key == "help" ? result.help : result.version) = true;
      return result;
    }
    if (option->key == "headless") {
      if (option->value) {
        throw UsageError("--headless takes no value");
      }
      result.settings.headless = true;
      continue;
    }
    if (option->key == "exit_on_startup_failure") {
      // A switch; --exit-on-startup-failure=no turns off what a config file set.
      option->value = option->value.value_or("yes");
      settingOptions.push_back(std::move(*option));
      continue;
    }
    if (option->key != "config" && !IsOptionKey(option->key)) {
      throw UsageError("unknown option '" + cli::ShownArgument(arguments[i]) + "' (see --help)");
    }
    if (!option->value) {
      if (i + 1 >= arguments.size()) {
        throw UsageError(OptionName(option->key) + " needs a value");
      }
      option->value = arguments[++i];
    }
    if (option->key == "config") {
      configFile = *option->value;
    } else {
      settingOptions.push_back(std::move(*option));
    }
  }

  if (!configFile) {
    configFile = FoundConfigFile();
  }
  if (configFile) {
    ApplyConfigFile(result.settings, *configFile);
  }
  for (const Option& option : settingOptions) {
    try {
      ApplySetting(result.settings, option.key, *option.value);
    } catch (const UsageError& e) {
      throw UsageError(OptionName(option.key) + ": " + e.what());
    }
  }
  CompleteAttachmentRules(result.settings, configFile.value_or(""));
  return result;
}

std::string UsageText() {
  std::string text =
      "Usage: quillpost-smtp [OPTION]...\n"
      "Relays mail requests from the inbound queue to an SMTP server, retrying\n"
      "what fails. Runs in the foreground until SIGTERM, SIGINT or SIGHUP.\n"
      "\n"
      "  --headless                status lines to standard output, no window\n"
      "  --config FILE             read settings from FILE (default:\n"
      "                            $XDG_CONFIG_HOME/quillpost/smtp.conf when it exists,\n"
      "                            else /etc/quillpost/smtp.conf when that exists)\n"
      "  --exit-on-startup-failure end with exit code 3 when start-up fails,\n"
      "                            instead of running on with what was set up\n";
  for (const SettingKey& key : SettingKeys()) {
    if (!key.optionToo) {
      continue;
    }
    std::string left = "  " + OptionName(std::string(key.key)) + " " + std::string(key.argument);
    left.resize(std::max<std::size_t>(left.size() + 1, 28), ' ');
    text += left + std::string(key.help) + "\n";
  }
  text +=
      "  -h, --help                show this text\n"
      "  --version                 show the version\n"
      "\n"
      "Every option may also be written --name=value. A config file holds\n"
      "'key = value' lines with the option names spelt with underscores\n"
      "(smtp_port = 2525); it may also hold smtp_password. Options override the file.\n"
      "The queue store is $QUILLPOST_STORE, else the user's own when it exists,\n"
      "else the system's in /var/spool/quillpost when it exists and can be written.\n"
      "Exit status: 0 after a signal, 2 for bad options or settings, 3 when start-up\n"
      "failed and --exit-on-startup-failure is given.\n";
  return text;
}

}  // namespace quillpost::relay
