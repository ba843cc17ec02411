#include "relay/command_line.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <utility>

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
    if (option->key == "help") {
      result.help = true;
      return result;
    }
    if (option->key == "headless") {
      if (option->value) {
        throw UsageError("--headless takes no value");
      }
      result.settings.headless = true;
      continue;
    }
    if (option->key != "config" && !IsOptionKey(option->key)) {
      throw UsageError("unknown option '" + arguments[i] + "' (see --help)");
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

  if (configFile) {
    ApplyConfigFile(result.settings, *configFile);
  } else if (const std::string fallback = DefaultConfigFile();
             !fallback.empty() && std::filesystem::exists(fallback)) {
    ApplyConfigFile(result.settings, fallback);
    configFile = fallback;
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
      "                            $XDG_CONFIG_HOME/quillpost/smtp.conf when it exists)\n";
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
      "\n"
      "Every option may also be written --name=value. A config file holds\n"
      "'key = value' lines with the option names spelt with underscores\n"
      "(smtp_port = 2525); it may also hold smtp_password. Options override the file.\n"
      "The queue store is the one named by $QUILLPOST_STORE.\n"
      "Exit status: 0 after a signal, 2 for bad options or settings.\n";
  return text;
}

}  // namespace quillpost::relay
