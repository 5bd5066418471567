// A results database of kora-run: an SQLite file or a PostgreSQL server. Both are driven through
// this one interface with the same SQL (parameters written `?` or `?N`, `RETURNING id` for the key
// of an inserted row, `rowid` for the order in which rows were written), so that the schema, the
// writing and the reading of a run exist once for both.
#pragma once

#include <memory>
#include <set>
#include <string>

namespace kora::run {

enum class StoreStatus {
    Ok,
    Duplicate, // a unique key refused the row (a run identifier already stored)
    Failed,
};

// A prepared statement. Unbound parameters are null; every run clears the bindings.
class StoreQuery {
  public:
    virtual ~StoreQuery() = default;
    virtual StoreQuery& Text(int i, const std::string& s) = 0;
    virtual StoreQuery& Int(int i, long long v) = 0;
    virtual StoreQuery& Real(int i, double v) = 0;
    virtual StoreQuery& Null(int i) = 0;
    // Runs the statement to its end; `returned` gets the first column of its first row (the key
    // of `INSERT ... RETURNING id`).
    virtual StoreStatus Run(long long* returned = nullptr) = 0;
    // Rows of a query: the first call runs it. Null columns read as empty text and 0.
    virtual bool Next() = 0;
    virtual std::string Column(int i) const = 0;
    virtual long long Integer(int i) const = 0;
    virtual double Number(int i) const = 0;
    virtual bool IsNull(int i) const = 0;
};

// How a kind of database spells what the common SQL cannot say the same way.
struct StoreDialect {
    const char* key;     // the integer key of a table that others refer to
    const char* integer; // column types
    const char* real;
    const char* text;
    const char* rowOrder;   // column added to tables without a key (null: `rowid` is built in)
    const char* lockSchema; // begins the transaction that checks and migrates the schema
};

class Store {
  public:
    virtual ~Store() = default;
    // Null with Error() set when the SQL is refused.
    virtual std::unique_ptr<StoreQuery> Prepare(const std::string& sql) = 0;
    // Statements without parameters, separated by ';'.
    virtual bool Exec(const std::string& sql) = 0;
    // The columns of a table; empty when there is no such table.
    virtual std::set<std::string> Columns(const std::string& table) = 0;
    virtual std::string Error() const = 0;
    virtual const StoreDialect& Dialect() const = 0;
    // The database as messages name it (a server's password left out).
    const std::string& Name() const { return name_; }

  protected:
    explicit Store(std::string name) : name_(std::move(name)) {}

  private:
    std::string name_;
};

// A PostgreSQL connection URI ("postgresql://..." or "postgres://...") rather than a file.
bool IsServerTarget(const std::string& target);
// The target without the password a URI may hold.
std::string ShownTarget(const std::string& target);

// Opens the database `target` (a file path or a server URI). A file opened for reading must
// exist; for writing it is created. Null with `error` set on failure.
std::unique_ptr<Store> OpenStore(const std::string& target, bool write, std::string& error);

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, bool write, std::string& error);
std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, std::string& error);

} // namespace kora::run
