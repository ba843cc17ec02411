// A store on a full disk: senders are refused, while what is queued can
// still be taken, finished and moved on, on the room the store kept for it.

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <string>

#include "queue/admin/queue_admin.h"
#include "queue/queue.h"
#include "queue/store/space_reserve.h"
#include "queue_test_support.h"

namespace quillpost::queue {
namespace {

using std::chrono::milliseconds;
using testing::TempStore;

// A disk as small as the files of one folder, made by taking over the write
// calls of SQLite's own file layer: a write that would grow a file of the
// folder past the disk's size fails with ENOSPC, as on a full disk. (The
// shared-memory index is left out: SQLite maps it.)
class SmallDisk {
 public:
  explicit SmallDisk(std::string folder) {
    folder_ = std::move(folder);
    vfs_ = sqlite3_vfs_find(nullptr);
    write_ = reinterpret_cast<Write>(vfs_->xGetSystemCall(vfs_, "write"));
    pwrite_ = reinterpret_cast<PositionedWrite>(vfs_->xGetSystemCall(vfs_, "pwrite"));
    pwrite64_ = reinterpret_cast<PositionedWrite>(vfs_->xGetSystemCall(vfs_, "pwrite64"));
    Install(reinterpret_cast<sqlite3_syscall_ptr>(&LimitedWrite),
            reinterpret_cast<sqlite3_syscall_ptr>(&LimitedPwrite),
            reinterpret_cast<sqlite3_syscall_ptr>(&LimitedPwrite64));
  }
  ~SmallDisk() {
    Install(reinterpret_cast<sqlite3_syscall_ptr>(write_),
            reinterpret_cast<sqlite3_syscall_ptr>(pwrite_),
            reinterpret_cast<sqlite3_syscall_ptr>(pwrite64_));
    capacity_ = ULLONG_MAX;
  }
  SmallDisk(const SmallDisk&) = delete;
  SmallDisk& operator=(const SmallDisk&) = delete;

  // From now on the disk holds what is on it and nothing more.
  void Fill() { capacity_ = Used(); }
  void MakeRoom(unsigned long long bytes) { capacity_ = Used() + bytes; }

  static unsigned long long Used() {
    unsigned long long used = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
      if (entry.is_regular_file() && !entry.path().string().ends_with("-shm")) {
        used += entry.file_size();
      }
    }
    return used;
  }

 private:
  using Write = ssize_t (*)(int, const void*, size_t);
  using PositionedWrite = ssize_t (*)(int, const void*, size_t, off_t);

  void Install(sqlite3_syscall_ptr write, sqlite3_syscall_ptr pwrite,
               sqlite3_syscall_ptr pwrite64) {
    vfs_->xSetSystemCall(vfs_, "write", write);
    if (pwrite_ != nullptr) {
      vfs_->xSetSystemCall(vfs_, "pwrite", pwrite);
    }
    if (pwrite64_ != nullptr) {
      vfs_->xSetSystemCall(vfs_, "pwrite64", pwrite64);
    }
  }

  // True when writing size bytes at offset would grow a file of the folder
  // past the disk.
  static bool Overflows(int fd, size_t size, off_t offset) {
    struct stat info {};
    std::error_code error;
    const auto path = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
    if (error || !path.string().starts_with(folder_) || ::fstat(fd, &info) != 0) {
      return false;
    }
    const auto end = static_cast<unsigned long long>(offset) + size;
    const auto current = static_cast<unsigned long long>(info.st_size);
    return end > current && Used() + (end - current) > capacity_;
  }
  static ssize_t LimitedWrite(int fd, const void* data, size_t size) {
    if (Overflows(fd, size, ::lseek(fd, 0, SEEK_CUR))) {
      errno = ENOSPC;
      return -1;
    }
    return write_(fd, data, size);
  }
  static ssize_t LimitedPwrite(int fd, const void* data, size_t size, off_t offset) {
    if (Overflows(fd, size, offset)) {
      errno = ENOSPC;
      return -1;
    }
    return pwrite_(fd, data, size, offset);
  }
  static ssize_t LimitedPwrite64(int fd, const void* data, size_t size, off_t offset) {
    if (Overflows(fd, size, offset)) {
      errno = ENOSPC;
      return -1;
    }
    return pwrite64_(fd, data, size, offset);
  }

  sqlite3_vfs* vfs_ = nullptr;
  static inline std::string folder_;
  static inline unsigned long long capacity_ = ULLONG_MAX;
  static inline Write write_ = nullptr;
  static inline PositionedWrite pwrite_ = nullptr;
  static inline PositionedWrite pwrite64_ = nullptr;
};

TEST(QueueFullDisk, SendersAreRefusedWhileWhatIsQueuedIsStillDelivered) {
  TempStore store;
  const std::string inbound = store.Create("kvr_mailer");
  const std::string retry = store.Create("kvr_mailer_rA");
  auto sender = QueuePath(inbound).Open(Access::Send);
  for (int i = 0; i < 2; ++i) {
    sender->Send({"Quillpost-Inbound", std::string(20000, 'm'), 7});
  }
  const std::string reserve = store.Folder() + "/reserve";
  ASSERT_TRUE(std::filesystem::exists(reserve));
  auto receiver = QueuePath(inbound).Open(Access::Receive);

  SmallDisk disk(store.Folder());
  disk.Fill();
  try {
    sender->Send({"Quillpost-Inbound", std::string(20000, 'n'), 7});
    ADD_FAILURE() << "a send on a full disk went through";
  } catch (const QueueError& error) {
    EXPECT_NE(std::string(error.what()).find("the disk is full"), std::string::npos)
        << error.what();
  }
  EXPECT_TRUE(std::filesystem::exists(reserve));  // not for senders

  auto first = receiver->Receive(milliseconds(0));
  ASSERT_TRUE(first);
  first->Finish();
  auto second = receiver->Receive(milliseconds(0));
  ASSERT_TRUE(second);
  second->FinishAndSend(retry, {"Quillpost-Retry:1", second->Body(), 7});
  EXPECT_FALSE(std::filesystem::exists(reserve));
  EXPECT_EQ(ListQueues(store.Folder()).at(1).waiting, 1U);  // kvr_mailer_rA

  // Once there is room again, the next send keeps a new reserve.
  disk.MakeRoom(SpaceReserve::kBytes * 4);
  sender->Send({"Quillpost-Inbound", "after", 7});
  EXPECT_TRUE(std::filesystem::exists(reserve));
}

}  // namespace
}  // namespace quillpost::queue
