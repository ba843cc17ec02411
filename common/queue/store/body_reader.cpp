#include "queue/store/body_reader.h"

#include <algorithm>
#include <vector>

namespace quillpost::queue {
namespace {

constexpr std::size_t kCopyPiece = std::size_t{1} << 20;

}  // namespace

BlobHandle OpenBlob(const Database& db, std::int64_t seq, bool write, std::string_view what) {
  sqlite3_blob* blob = nullptr;
  const int rc =
      sqlite3_blob_open(db.Handle(), "main", "messages", "body", seq, write ? 1 : 0, &blob);
  BlobHandle handle(blob);
  if (rc != SQLITE_OK) {
    db.Fail(rc, what);
  }
  return handle;
}

void BlobCloser::operator()(sqlite3_blob* blob) const {
  sqlite3_blob_close(blob);
}

BodyReader::BodyReader(const Database& db) : db_(db) {}

void BodyReader::Open(std::int64_t seq, std::string_view what) {
  // Moving to another row needs no new statement, unless the last move failed.
  if (blob_ && sqlite3_blob_reopen(blob_.get(), seq) == SQLITE_OK) {
    return;
  }
  blob_.reset();
  blob_ = OpenBlob(db_, seq, false, what);
}

std::size_t BodyReader::Size(std::int64_t seq, std::string_view what) {
  Open(seq, what);
  return static_cast<std::size_t>(sqlite3_blob_bytes(blob_.get()));
}

StoredBody BodyReader::Read(std::int64_t seq, std::size_t limit, std::string_view what) {
  StoredBody body;
  body.size = Size(seq, what);
  if (body.size > limit) {
    return body;
  }
  std::string bytes(body.size, '\0');
  if (!bytes.empty()) {
    const int rc = sqlite3_blob_read(blob_.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
    if (rc != SQLITE_OK) {
      db_.Fail(rc, what);
    }
  }
  body.bytes = std::move(bytes);
  return body;
}

void CopyBody(const Database& sourceDb, BodyPlace from, const Database& targetDb, BodyPlace to,
              std::size_t length, std::string_view what) {
  const BlobHandle source = OpenBlob(sourceDb, from.seq, false, what);
  const BlobHandle target = OpenBlob(targetDb, to.seq, true, what);
  std::vector<char> piece(std::min(kCopyPiece, length));
  for (std::size_t done = 0; done < length;) {
    const std::size_t count = std::min(length - done, piece.size());
    int rc = sqlite3_blob_read(source.get(), piece.data(), static_cast<int>(count),
                               static_cast<int>(from.offset + done));
    if (rc != SQLITE_OK) {
      sourceDb.Fail(rc, what);
    }
    rc = sqlite3_blob_write(target.get(), piece.data(), static_cast<int>(count),
                            static_cast<int>(to.offset + done));
    if (rc != SQLITE_OK) {
      targetDb.Fail(rc, what);
    }
    done += count;
  }
}

void WriteBody(const Database& db, BodyPlace to, std::string_view bytes, std::string_view what) {
  if (bytes.empty()) {
    return;
  }
  const BlobHandle target = OpenBlob(db, to.seq, true, what);
  const int rc = sqlite3_blob_write(target.get(), bytes.data(), static_cast<int>(bytes.size()),
                                    static_cast<int>(to.offset));
  if (rc != SQLITE_OK) {
    db.Fail(rc, what);
  }
}

}  // namespace quillpost::queue
