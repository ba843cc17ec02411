#pragma once

// Shared pieces of the queue tests: a throw-away store folder.

#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "queue/queue.h"

namespace quillpost::queue::testing {

// A fresh store folder under the temporary directory, removed afterwards.
class TempStore {
 public:
  TempStore() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "quillpost-queue-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("mkdtemp failed");
    }
    folder_ = pattern + "/store";
  }
  ~TempStore() {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(folder_).parent_path(), ignored);
  }
  TempStore(const TempStore&) = delete;
  TempStore& operator=(const TempStore&) = delete;

  const std::string& Folder() const { return folder_; }
  std::string Path(const std::string& queue) const { return "file://" + folder_ + "/" + queue; }
  std::string Create(const std::string& queue) const {
    QueuePath(Path(queue)).Create();
    return Path(queue);
  }

 private:
  std::string folder_;
};

inline bool Readable(int fd, std::chrono::milliseconds timeout) {
  pollfd watch{fd, POLLIN, 0};
  return ::poll(&watch, 1, static_cast<int>(timeout.count())) == 1;
}

}  // namespace quillpost::queue::testing
