// The tables of a kora-run database, described once for SQLite and PostgreSQL: created or
// migrated on first use, and the rows of a run written by column name.
#pragma once

#include "store.h"

#include <memory>
#include <string>
#include <vector>

namespace kora::run {

// 1: runs, results, limits, parameters, alerts; 2: steps, series, graphs, the operator's log,
// components; 3: the station of a run and its identifier, indexes.
constexpr long kSchemaVersion = 3;

enum class ColumnType { Key, Integer, Real, Text };

struct ColumnDef {
    const char* name;
    ColumnType type;
    const char* references = nullptr; // the table whose key this column holds
};

struct TableDef {
    const char* name;
    std::vector<ColumnDef> columns; // a keyed table's key first
    bool keyed() const { return !columns.empty() && columns.front().type == ColumnType::Key; }
};

const TableDef* FindTable(const std::string& name);

// Creates the tables, adds the columns an older database lacks and records the version. Cheap
// when the database is current.
bool EnsureSchema(Store& store, std::string& error);

// Removes a run with every row that belongs to it (inside the caller's transaction).
bool DeleteRun(Store& store, long long runId, std::string& error);

// Inserts rows into one table, the values given by column name; columns not given are null.
class RowWriter {
  public:
    RowWriter(Store& store, const char* table);
    bool ok() const { return query_ != nullptr; }
    RowWriter& Text(const char* column, const std::string& value);
    RowWriter& Int(const char* column, long long value);
    RowWriter& Real(const char* column, double value);
    // `id` gets the key of the new row in a keyed table.
    StoreStatus Insert(long long* id = nullptr) { return query_->Run(id); }

  private:
    int Index(const char* column) const;

    const TableDef* table_;
    std::unique_ptr<StoreQuery> query_;
};

} // namespace kora::run
