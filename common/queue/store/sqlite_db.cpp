#include "queue/store/sqlite_db.h"

#include <utility>

namespace quillpost::queue {
namespace {

std::string Describe(int rc, sqlite3* db) {
  switch (rc & 0xff) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "the store stayed locked by another process for too long";
    case SQLITE_NOTADB:
      return "the file is not a queue store or is damaged";
    case SQLITE_CORRUPT:
      return "the store file is damaged";
    case SQLITE_CANTOPEN:
      return "the store file cannot be opened";
    case SQLITE_READONLY:
      return "the store file is read-only";
    case SQLITE_FULL:
      return "the disk is full";
    case SQLITE_IOERR:
      return std::string("input/output error (") + (db ? sqlite3_errmsg(db) : "") + ")";
    default:
      return db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  }
}

}  // namespace

Database::Database(const std::string& file, bool create) : file_(file) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | (create ? SQLITE_OPEN_CREATE : 0);
  const int rc = sqlite3_open_v2(file.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string reason = Describe(rc, db_);
    sqlite3_close(db_);
    db_ = nullptr;
    throw QueueError("queue store " + file + ": " + reason);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() {
  sqlite3_close_v2(db_);
}

void Database::Fail(int rc, std::string_view what) const {
  if ((rc & 0xff) == SQLITE_FULL) {
    throw StoreFull("queue store " + file_ + ": " + std::string(what) + ": " + Describe(rc, db_));
  }
  throw QueueError("queue store " + file_ + ": " + std::string(what) + ": " + Describe(rc, db_));
}

void Database::Execute(const char* sql, std::string_view what) {
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) {
    Fail(rc, what);
  }
}

Statement Database::Prepare(const char* sql) const {
  return Statement(*this, sql);
}

std::int64_t Database::Changes() const {
  return sqlite3_changes64(db_);
}

void Database::SetBusyTimeout(std::chrono::milliseconds timeout) {
  sqlite3_busy_timeout(db_, static_cast<int>(timeout.count()));
}

Statement::Statement(const Database& db, const char* sql) : db_(&db) {
  const int rc =
      sqlite3_prepare_v3(db.Handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    db.Fail(rc, "reading the store's layout");
  }
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::Bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  sqlite3_bind_text64(stmt_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  return *this;
}

Statement& Statement::BindBlob(int index, std::string_view bytes) {
  // A zero-length blob must still be a blob, not NULL.
  static const char kEmpty = 0;
  sqlite3_bind_blob64(stmt_, index, bytes.empty() ? &kEmpty : bytes.data(), bytes.size(),
                      SQLITE_TRANSIENT);
  return *this;
}

bool Statement::Step(std::string_view what) {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) {
    return true;
  }
  if (rc == SQLITE_DONE) {
    return false;
  }
  sqlite3_reset(stmt_);
  db_->Fail(rc, what);
}

void Statement::Run(std::string_view what) {
  while (Step(what)) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::Text(int column) const {
  const void* data = sqlite3_column_blob(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return data ? std::string(static_cast<const char*>(data), static_cast<std::size_t>(size))
              : std::string();
}

std::size_t Statement::Bytes(int column) const {
  return static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
}

bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

WriteTransaction::WriteTransaction(Database& db, std::string_view what) : db_(db), what_(what) {
  db_.Execute("BEGIN IMMEDIATE", what_);
}

WriteTransaction::~WriteTransaction() {
  if (open_) {
    sqlite3_exec(db_.Handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void WriteTransaction::Commit() {
  db_.Execute("COMMIT", what_);
  open_ = false;
}

}  // namespace quillpost::queue
