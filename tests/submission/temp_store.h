#pragma once

// A queue store of its own for one test: QUILLPOST_STORE points at a fresh
// temporary folder for the lifetime of the object, and is restored after.

#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "queue/queue.h"

namespace quillpost::testing {

class TempStore {
 public:
  TempStore() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillpost-submission-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary store folder");
    }
    folder_ = pattern;
    if (const char* previous = std::getenv("QUILLPOST_STORE")) {
      previous_ = previous;
    }
    setenv("QUILLPOST_STORE", folder_.c_str(), 1);
  }

  ~TempStore() {
    if (previous_) {
      setenv("QUILLPOST_STORE", previous_->c_str(), 1);
    } else {
      unsetenv("QUILLPOST_STORE");
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;

  const std::filesystem::path& Folder() const { return folder_; }

  static void CreateQueue(const std::string& name) { queue::QueuePath(name).Create(); }

  // Takes every message off the queue, highest priority first.
  static std::vector<queue::Message> Drain(const std::string& name) {
    std::vector<queue::Message> messages;
    const auto open = queue::QueuePath(name).Open(queue::Access::Receive);
    while (auto received = open->Receive(std::chrono::milliseconds(0))) {
      messages.push_back({received->Label(), received->Body(), received->Priority()});
      received->Finish();
    }
    open->Close();
    return messages;
  }

 private:
  std::filesystem::path folder_;
  std::optional<std::string> previous_;
};

}  // namespace quillpost::testing
