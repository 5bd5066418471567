#include "schema.h"

#include <cstring>

namespace kora::run {

namespace {

using T = ColumnType;

constexpr const char* kVersionTable = "kora_schema";
// A run delivered twice from a station's spool is refused the second time by this index.
constexpr const char* kRunIdentifierIndex =
    "CREATE UNIQUE INDEX IF NOT EXISTS uut_result_run_uid ON uut_result (run_uid)";

// Parents before children; the run itself first.
const std::vector<TableDef> kTables = {
    {"uut_result",
     {{"id", T::Key},
      {"program", T::Text},
      {"program_file", T::Text},
      {"uut_serial", T::Text},
      {"uut_part", T::Text},
      {"station", T::Text}, // the station's name
      {"start_time", T::Text},
      {"execution_seconds", T::Real},
      {"status", T::Text},
      {"exit_status", T::Integer},
      {"steps", T::Integer},
      {"passed", T::Integer},
      {"failed", T::Integer},
      {"errors", T::Integer},
      {"done", T::Integer},
      {"stopped", T::Integer},
      {"run_uid", T::Text},
      {"station_id", T::Integer},
      {"panel", T::Integer},
      {"host", T::Text}}},
    {"step_result",
     {{"id", T::Key},
      {"uut_result", T::Integer, "uut_result"},
      {"step_index", T::Integer},
      {"execution", T::Integer},
      {"step_name", T::Text},
      {"method", T::Text},
      {"program_line", T::Integer},
      {"result_number", T::Integer},
      {"result_name", T::Text},
      {"status", T::Text},
      {"kind", T::Text},
      {"unit", T::Integer},
      {"unit_text", T::Text},
      {"numeric_value", T::Text},
      {"text_value", T::Text},
      {"channel", T::Text},
      {"comment", T::Text},
      {"step_return", T::Integer},
      {"seconds", T::Real},
      {"component", T::Text},
      {"step_seq", T::Integer},
      {"text_operator", T::Text},
      {"expected", T::Text}}},
    {"numeric_limits",
     {{"step_result", T::Integer, "step_result"},
      {"low_limit", T::Text},
      {"low_operator", T::Text},
      {"high_limit", T::Text},
      {"high_operator", T::Text},
      {"units", T::Text}}},
    {"system_parameter",
     {{"uut_result", T::Integer, "uut_result"},
      {"section", T::Text},
      {"name", T::Text},
      {"type", T::Text},
      {"value", T::Text},
      {"unit", T::Integer},
      {"comment", T::Text}}},
    {"alert",
     {{"uut_result", T::Integer, "uut_result"},
      {"title", T::Text},
      {"text", T::Text},
      {"flags", T::Integer},
      {"answer", T::Integer}}},
    {"series",
     {{"step_result", T::Integer, "step_result"}, {"span", T::Real}, {"samples", T::Text}}},
    {"step_run",
     {{"uut_result", T::Integer, "uut_result"},
      {"seq", T::Integer},
      {"step_index", T::Integer},
      {"execution", T::Integer},
      {"step_name", T::Text},
      {"method", T::Text},
      {"program_line", T::Integer},
      {"step_return", T::Integer},
      {"seconds", T::Real}}},
    {"graph",
     {{"uut_result", T::Integer, "uut_result"},
      {"step_seq", T::Integer},
      {"component", T::Text},
      {"label", T::Text},
      {"samples", T::Text}}},
    {"log_line",
     {{"uut_result", T::Integer, "uut_result"},
      {"seq", T::Integer},
      {"level", T::Integer},
      {"text", T::Text}}},
};

const char* TypeOf(const StoreDialect& d, ColumnType type) {
    switch (type) {
    case T::Key:
        return d.key;
    case T::Integer:
        return d.integer;
    case T::Real:
        return d.real;
    case T::Text:
        return d.text;
    }
    return d.text;
}

std::string ColumnSql(const StoreDialect& d, const ColumnDef& c) {
    std::string sql = std::string(c.name) + " " + TypeOf(d, c.type);
    if (c.references) {
        sql += std::string(" REFERENCES ") + c.references + "(id)";
    }
    return sql;
}

std::string CreateSql(const StoreDialect& d, const TableDef& t) {
    std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + t.name + " (";
    for (std::size_t i = 0; i < t.columns.size(); ++i) {
        sql += (i ? ", " : "") + ColumnSql(d, t.columns[i]);
    }
    if (!t.keyed() && d.rowOrder) {
        sql += std::string(", ") + d.rowOrder;
    }
    return sql + ")";
}

long StoredVersion(Store& store) {
    if (store.Columns(kVersionTable).empty()) {
        return 0;
    }
    auto q = store.Prepare(std::string("SELECT MAX(version) FROM ") + kVersionTable);
    return q && q->Next() ? static_cast<long>(q->Integer(0)) : 0;
}

bool Migrate(Store& store) {
    const StoreDialect& d = store.Dialect();
    for (const TableDef& t : kTables) {
        const std::set<std::string> present = store.Columns(t.name);
        if (present.empty()) {
            if (!store.Exec(CreateSql(d, t))) {
                return false;
            }
            continue;
        }
        for (const ColumnDef& c : t.columns) {
            if (!present.count(c.name) && !store.Exec(std::string("ALTER TABLE ") + t.name +
                                                      " ADD COLUMN " + ColumnSql(d, c))) {
                return false;
            }
        }
    }
    // The rows of a run are looked up by the key they belong to.
    for (const TableDef& t : kTables) {
        for (const ColumnDef& c : t.columns) {
            if (c.references && !store.Exec(std::string("CREATE INDEX IF NOT EXISTS ") + t.name +
                                            "_" + c.name + " ON " + t.name + " (" + c.name + ")")) {
                return false;
            }
        }
    }
    return store.Exec(kRunIdentifierIndex) &&
           store.Exec(std::string("CREATE TABLE IF NOT EXISTS ") + kVersionTable + " (version " +
                      d.integer + ")") &&
           store.Exec(std::string("DELETE FROM ") + kVersionTable) &&
           store.Exec(std::string("INSERT INTO ") + kVersionTable + " (version) VALUES (" +
                      std::to_string(kSchemaVersion) + ")");
}

// The rows of `t` that belong to run ?1, through the key they refer to.
std::string RowsOfRun(const TableDef& t) {
    if (&t == &kTables.front()) {
        return "id = ?1";
    }
    for (const ColumnDef& c : t.columns) {
        if (c.references) {
            const TableDef* parent = FindTable(c.references);
            return std::string(c.name) + (parent == &kTables.front()
                                              ? std::string(" = ?1")
                                              : " IN (SELECT id FROM " + std::string(parent->name) +
                                                    " WHERE " + RowsOfRun(*parent) + ")");
        }
    }
    return "0 = 1";
}

} // namespace

const TableDef* FindTable(const std::string& name) {
    for (const TableDef& t : kTables) {
        if (name == t.name) {
            return &t;
        }
    }
    return nullptr;
}

bool EnsureSchema(Store& store, std::string& error) {
    if (StoredVersion(store) >= kSchemaVersion) {
        return true;
    }
    if (store.Exec(store.Dialect().lockSchema) &&
        (StoredVersion(store) >= kSchemaVersion || Migrate(store)) && store.Exec("COMMIT")) {
        return true;
    }
    error = store.Name() + ": schema: " + store.Error();
    store.Exec("ROLLBACK");
    return false;
}

bool DeleteRun(Store& store, long long runId, std::string& error) {
    // Children first: a row goes before the row it refers to.
    for (auto t = kTables.rbegin(); t != kTables.rend(); ++t) {
        auto q = store.Prepare(std::string("DELETE FROM ") + t->name + " WHERE " + RowsOfRun(*t));
        if (!q || q->Int(1, runId).Run() != StoreStatus::Ok) {
            error = store.Name() + ": " + t->name + ": " + store.Error();
            return false;
        }
    }
    return true;
}

RowWriter::RowWriter(Store& store, const char* table) : table_(FindTable(table)) {
    if (!table_) {
        return;
    }
    std::string columns, values;
    for (const ColumnDef& c : table_->columns) {
        if (c.type != T::Key) {
            columns += (columns.empty() ? "" : ", ") + std::string(c.name);
            values += values.empty() ? "?" : ", ?";
        }
    }
    query_ = store.Prepare(std::string("INSERT INTO ") + table_->name + " (" + columns +
                           ") VALUES (" + values + ")" + (table_->keyed() ? " RETURNING id" : ""));
}

int RowWriter::Index(const char* column) const {
    int index = 0;
    for (const ColumnDef& c : table_->columns) {
        if (c.type == T::Key) {
            continue;
        }
        ++index;
        if (std::strcmp(c.name, column) == 0) {
            return index;
        }
    }
    return 0; // not a column of the table: both stores ignore parameter 0
}

RowWriter& RowWriter::Text(const char* column, const std::string& value) {
    query_->Text(Index(column), value);
    return *this;
}

RowWriter& RowWriter::Int(const char* column, long long value) {
    query_->Int(Index(column), value);
    return *this;
}

RowWriter& RowWriter::Real(const char* column, double value) {
    query_->Real(Index(column), value);
    return *this;
}

} // namespace kora::run
