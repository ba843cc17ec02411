#pragma once

// The OAuth2 access token, printed by a command the administrator names
// (a helper that refreshes the token with the provider). The command runs
// without a shell; its output is a credential and never goes to a log.

#include <chrono>
#include <string>
#include <vector>

namespace quillpost::smtp {

// "helper --account 'a b'" -> {"helper", "--account", "a b"}, quoted as a
// shell would (GLib's g_shell_parse_argv); nothing is expanded or run.
// Empty when the text cannot be split.
std::vector<std::string> SplitCommand(const std::string& text);

// Runs argv (looked up in PATH) in a process group of its own, with standard
// input and standard error on /dev/null, and returns what it printed before
// it exited, without the trailing line end. The whole group is killed once
// the command has exited or timed out, so a helper it left in the background
// neither holds the answer up nor stays behind. Throws SendFailure
// (kAuthenticationUnavailable) when it cannot be started, takes longer than
// timeout, fails, or prints no token.
std::string RunTokenCommand(const std::vector<std::string>& argv, std::chrono::seconds timeout);

}  // namespace quillpost::smtp
