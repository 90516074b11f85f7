#pragma once
// A prepared SQLite statement, finalised on every path: the one wrapper the
// archive's SQLite files share.

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

class Statement {
 public:
  Statement(sqlite3* db, const std::string& sql) { ok_ = sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) == SQLITE_OK; }
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  bool Ok() const { return ok_; }
  Statement& Bind(int index, int64_t value) {
    ok_ = ok_ && sqlite3_bind_int64(stmt_, index, value) == SQLITE_OK;
    return *this;
  }
  Statement& Bind(int index, const std::string& text) {
    ok_ = ok_ && sqlite3_bind_text(stmt_, index, text.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK;
    return *this;
  }
  Statement& Bind(int index, const std::optional<double>& value) {
    ok_ = ok_ && (value ? sqlite3_bind_double(stmt_, index, *value) : sqlite3_bind_null(stmt_, index)) == SQLITE_OK;
    return *this;
  }
  Statement& BindValue(int index, bool defined, float value) {
    ok_ = ok_ && (defined ? sqlite3_bind_double(stmt_, index, value) : sqlite3_bind_null(stmt_, index)) == SQLITE_OK;
    return *this;
  }
  // True while a row is there; Ok() tells an error from the end.
  bool Step() {
    if (!ok_) return false;
    const int result = sqlite3_step(stmt_);
    ok_ = result == SQLITE_ROW || result == SQLITE_DONE;
    return result == SQLITE_ROW;
  }
  void Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
  bool IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  double Real(int column) const { return sqlite3_column_double(stmt_, column); }
  float Float(int column) const { return static_cast<float>(sqlite3_column_double(stmt_, column)); }
  std::string Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
  }

 private:
  sqlite3_stmt* stmt_ = nullptr;
  bool ok_ = false;
};
