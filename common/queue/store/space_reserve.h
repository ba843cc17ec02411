#pragma once

// Room on the disk that a store keeps for delivering. When the disk fills,
// senders are refused, but a receiver must still be able to take, finish and
// move on what is queued, since delivering is what frees the room. So a store
// keeps a file of a few MiB that a receiver's write gives up when SQLite
// finds the disk full; the file is made again once there is room.

#include <sys/types.h>

#include <cstddef>
#include <string>

namespace quillpost::queue {

class SpaceReserve {
 public:
  static constexpr std::size_t kBytes = std::size_t{8} << 20;

  SpaceReserve(std::string path, mode_t mode) : path_(std::move(path)), mode_(mode) {}

  // Gives the room up; false when there was none left to give.
  bool Release() const;
  // Makes the file when it is missing and the disk has room for all of it;
  // otherwise leaves nothing behind. Never fails.
  void Restore() const;

  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  mode_t mode_;
};

}  // namespace quillpost::queue
