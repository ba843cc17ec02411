// A body left out of memory, read where it is stored through SQLite's
// incremental blob access. The stream has a connection of its own, so a
// relay session may read it on its own thread while the thread that received
// the message goes on using the store; its blob holds one read of the store
// open (a snapshot of the write-ahead log) while it lives.

#include <memory>

#include "queue/store/body_reader.h"
#include "queue/store/store.h"

namespace quillpost::queue {
namespace {

constexpr const char* kReading = "reading a message body";

class StoredBodyStream final : public BodyStream {
 public:
  StoredBodyStream(const std::string& file, std::int64_t seq)
      : db_(std::make_unique<Database>(file, false)) {
    db_->SetBusyTimeout(StoreLockTimeout());
    // Read once, front to back: a page cache of SQLite's default 2 MiB for
    // every session would only hold pages never read again.
    db_->Execute("PRAGMA cache_size = -256", kReading);
    blob_ = OpenBlob(*db_, seq, false, kReading);
    size_ = static_cast<std::size_t>(sqlite3_blob_bytes(blob_.get()));
  }

  std::size_t Size() const override { return size_; }

  std::size_t Read(std::size_t offset, char* out, std::size_t length) override {
    const std::size_t count = offset < size_ ? std::min(length, size_ - offset) : 0;
    if (count > 0) {
      const int rc =
          sqlite3_blob_read(blob_.get(), out, static_cast<int>(count), static_cast<int>(offset));
      if (rc != SQLITE_OK) {
        db_->Fail(rc, kReading);
      }
    }
    return count;
  }

 private:
  std::unique_ptr<Database> db_;
  BlobHandle blob_;  // closed before its connection
  std::size_t size_ = 0;
};

}  // namespace

std::unique_ptr<BodyStream> Store::OpenStoredBody(std::int64_t seq) const {
  return std::make_unique<StoredBodyStream>(db_->File(), seq);
}

}  // namespace quillpost::queue
