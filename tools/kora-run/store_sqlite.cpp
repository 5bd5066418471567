// The SQLite store: a database file, the default of kora-run and the spool of a station.
#include "store.h"

#include <sqlite3.h>

namespace kora::run {

namespace {

constexpr StoreDialect kSqliteDialect = {
    "INTEGER PRIMARY KEY",
    "INTEGER",
    "REAL",
    "TEXT",
    nullptr,
    // Taken at once, so that two kora-run writing one file migrate it one after the other.
    "BEGIN IMMEDIATE",
};

// Another kora-run writing the same file holds it for the length of one run.
constexpr int kBusyMilliseconds = 5000;

class SqliteStore;

class SqliteQuery final : public StoreQuery {
  public:
    SqliteQuery(SqliteStore& store, sqlite3_stmt* stmt) : store_(store), stmt_(stmt) {}
    ~SqliteQuery() override { sqlite3_finalize(stmt_); }
    StoreQuery& Text(int i, const std::string& s) override {
        sqlite3_bind_text(stmt_, i, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
        return *this;
    }
    StoreQuery& Int(int i, long long v) override {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    StoreQuery& Real(int i, double v) override {
        sqlite3_bind_double(stmt_, i, v);
        return *this;
    }
    StoreQuery& Null(int i) override {
        sqlite3_bind_null(stmt_, i);
        return *this;
    }
    StoreStatus Run(long long* returned) override;
    bool Next() override;
    std::string Column(int i) const override {
        const auto* t = sqlite3_column_text(stmt_, i);
        return t ? reinterpret_cast<const char*>(t) : "";
    }
    long long Integer(int i) const override { return sqlite3_column_int64(stmt_, i); }
    double Number(int i) const override { return sqlite3_column_double(stmt_, i); }
    bool IsNull(int i) const override { return sqlite3_column_type(stmt_, i) == SQLITE_NULL; }

  private:
    SqliteStore& store_;
    sqlite3_stmt* stmt_;
};

class SqliteStore final : public Store {
  public:
    SqliteStore(const std::string& path, sqlite3* db) : Store(path), db_(db) {}
    ~SqliteStore() override { sqlite3_close_v2(db_); }
    std::unique_ptr<StoreQuery> Prepare(const std::string& sql) override {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
            Failed();
            sqlite3_finalize(stmt);
            return nullptr;
        }
        return std::make_unique<SqliteQuery>(*this, stmt);
    }
    bool Exec(const std::string& sql) override {
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
            Failed();
            return false;
        }
        return true;
    }
    std::set<std::string> Columns(const std::string& table) override {
        std::set<std::string> out;
        if (auto q = Prepare("SELECT name FROM pragma_table_info(?)")) {
            q->Text(1, table);
            while (q->Next()) {
                out.insert(q->Column(0));
            }
        }
        return out;
    }
    std::string Error() const override { return error_; }
    const StoreDialect& Dialect() const override { return kSqliteDialect; }
    void Failed() { error_ = sqlite3_errmsg(db_); }

  private:
    sqlite3* db_;
    std::string error_;
};

StoreStatus SqliteQuery::Run(long long* returned) {
    int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW && returned) {
        *returned = sqlite3_column_int64(stmt_, 0);
    }
    while (rc == SQLITE_ROW) {
        rc = sqlite3_step(stmt_);
    }
    StoreStatus status = StoreStatus::Ok;
    if (rc != SQLITE_DONE) {
        store_.Failed();
        const int code = sqlite3_extended_errcode(sqlite3_db_handle(stmt_));
        status = code == SQLITE_CONSTRAINT_UNIQUE || code == SQLITE_CONSTRAINT_PRIMARYKEY
                     ? StoreStatus::Duplicate
                     : StoreStatus::Failed;
    }
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    return status;
}

bool SqliteQuery::Next() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) {
        return true;
    }
    if (rc != SQLITE_DONE) {
        store_.Failed();
    }
    sqlite3_reset(stmt_);
    return false;
}

} // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, bool write, std::string& error) {
    sqlite3* db = nullptr;
    const int flags = write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot open the database");
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyMilliseconds);
    return std::make_unique<SqliteStore>(path, db);
}

} // namespace kora::run
