#include "queue/store/body_reader.h"

#include <algorithm>
#include <vector>

namespace quillpost::queue {
namespace {

constexpr std::size_t kCopyPiece = std::size_t{1} << 20;

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

}  // namespace

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

void CopyBody(const Database& sourceDb, std::int64_t from, const Database& targetDb,
              std::int64_t to, std::string_view what) {
  const BlobHandle source = OpenBlob(sourceDb, from, false, what);
  const BlobHandle target = OpenBlob(targetDb, to, true, what);
  const int size = sqlite3_blob_bytes(source.get());
  std::vector<char> piece(std::min(kCopyPiece, static_cast<std::size_t>(size)));
  for (int offset = 0; offset < size;) {
    const int length = std::min(size - offset, static_cast<int>(piece.size()));
    int rc = sqlite3_blob_read(source.get(), piece.data(), length, offset);
    if (rc != SQLITE_OK) {
      sourceDb.Fail(rc, what);
    }
    rc = sqlite3_blob_write(target.get(), piece.data(), length, offset);
    if (rc != SQLITE_OK) {
      targetDb.Fail(rc, what);
    }
    offset += length;
  }
}

}  // namespace quillpost::queue
