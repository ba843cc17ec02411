#pragma once

// Message bodies read through SQLite's incremental blob access: a body's
// size is known before any of it is read, so a body larger than a queue
// takes is never loaded (SQL's length() reads a text value whole to count
// it), and one that is read goes straight into its string. A reader holds a
// read of the store open while it lives; keep it to one operation.

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "queue/store/sqlite_db.h"

namespace quillpost::queue {

struct BlobCloser {
  void operator()(sqlite3_blob* blob) const;
};
using BlobHandle = std::unique_ptr<sqlite3_blob, BlobCloser>;

struct StoredBody {
  std::size_t size = 0;
  std::optional<std::string> bytes;  // unset: left out, larger than the limit
};

class BodyReader {
 public:
  explicit BodyReader(const Database& db);

  // The body of the message numbered seq; read only when it is no larger
  // than limit. Throws QueueError naming what.
  StoredBody Read(std::int64_t seq, std::size_t limit, std::string_view what);
  std::size_t Size(std::int64_t seq, std::string_view what);

 private:
  void Open(std::int64_t seq, std::string_view what);

  const Database& db_;
  BlobHandle blob_;
};

// Where a body is: the message numbered seq, from offset on.
struct BodyPlace {
  std::int64_t seq = 0;
  std::size_t offset = 0;
};

// Copies length bytes of the body at from (read through sourceDb) into the
// body at to (written through targetDb), whose bytes there must already
// exist (zeroblob), a piece at a time: a body of any size moves with a small
// buffer. The two must be different connections: a write through one blob
// makes the others on its table lose their place in the body. Throws
// QueueError naming what.
void CopyBody(const Database& sourceDb, BodyPlace from, const Database& targetDb, BodyPlace to,
              std::size_t length, std::string_view what);
// Writes bytes into the body at to, whose bytes there must already exist.
void WriteBody(const Database& db, BodyPlace to, std::string_view bytes, std::string_view what);
// Opens the body of message seq for reading or writing; throws QueueError.
BlobHandle OpenBlob(const Database& db, std::int64_t seq, bool write, std::string_view what);

}  // namespace quillpost::queue
