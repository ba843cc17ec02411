#pragma once

// A thin RAII layer over one SQLite connection and its prepared statements.
// Every SQLite failure becomes a QueueError that names what was being done.

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "queue/queue.h"

namespace quillpost::queue {

class Statement;

// SQLite found the disk full.
class StoreFull : public QueueError {
 public:
  using QueueError::QueueError;
};

class Database {
 public:
  // Opens an existing database file (create=false) or creates it. Throws
  // QueueError.
  Database(const std::string& file, bool create);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Execute(const char* sql, std::string_view what);
  Statement Prepare(const char* sql) const;
  std::int64_t Changes() const;
  const std::string& File() const { return file_; }

  void SetBusyTimeout(std::chrono::milliseconds timeout);

  // Raises the QueueError (StoreFull for a full disk) for result code rc
  // with context what.
  [[noreturn]] void Fail(int rc, std::string_view what) const;

  sqlite3* Handle() const { return db_; }

 private:
  std::string file_;
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(const Database& db, const char* sql);
  ~Statement();
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&&) = delete;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, std::string_view text);
  Statement& BindBlob(int index, std::string_view bytes);

  // Steps once: true when a row is ready, false when done. Throws QueueError
  // naming what.
  bool Step(std::string_view what);
  // Steps to completion.
  void Run(std::string_view what);
  // Resets for the next use and clears the bindings.
  void Reset();

  std::int64_t Int(int column) const;
  std::string Text(int column) const;
  std::size_t Bytes(int column) const;
  bool IsNull(int column) const;

 private:
  const Database* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// A write transaction that takes the write lock at once and rolls back unless
// committed.
class WriteTransaction {
 public:
  explicit WriteTransaction(Database& db, std::string_view what);
  ~WriteTransaction();
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;

  void Commit();

 private:
  Database& db_;
  std::string what_;
  bool open_ = true;
};

}  // namespace quillpost::queue
