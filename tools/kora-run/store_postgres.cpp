// The PostgreSQL store: the server that the stations of a line write into, through libpq.
#include "format.h"
#include "store.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace kora::run {

namespace {

constexpr StoreDialect kPostgresDialect = {
    "BIGSERIAL PRIMARY KEY",
    "BIGINT",
    "DOUBLE PRECISION",
    "TEXT",
    // The order of writing, which SQLite keeps as its rowid.
    "rowid BIGSERIAL",
    // Every kora-run of a line may come up first on a new server: one creates the tables, the
    // others wait and find them there. The key is kora-run's own (an arbitrary constant).
    "BEGIN; SELECT pg_advisory_xact_lock(74237001)",
};

constexpr const char* kUniqueViolation = "23505";
// A station must not hang on a server that does not answer; the URI may say otherwise.
constexpr const char* kConnectTimeout = "10";
constexpr const char* kApplicationName = "kora-run";

// libpq's messages end in a line break.
std::string Trimmed(std::string message) {
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
        message.pop_back();
    }
    return message;
}

// The common SQL's parameters (`?` counting on, `?N`) in PostgreSQL's spelling ($N); the count
// of parameters goes to `count`.
std::string ServerSql(const std::string& sql, int& count) {
    std::string out;
    count = 0;
    bool quoted = false;
    for (std::size_t i = 0; i < sql.size(); ++i) {
        const char c = sql[i];
        if (c == '\'') {
            quoted = !quoted;
        }
        if (c != '?' || quoted) {
            out += c;
            continue;
        }
        std::size_t end = i + 1;
        while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') {
            ++end;
        }
        const int n = end > i + 1 ? std::atoi(sql.substr(i + 1, end - i - 1).c_str()) : count + 1;
        count = std::max(count, n);
        out += '$' + std::to_string(n);
        i = end - 1;
    }
    return out;
}

class PostgresStore;

class PostgresQuery final : public StoreQuery {
  public:
    PostgresQuery(PostgresStore& store, std::string name, int params)
        : store_(store), name_(std::move(name)), values_(static_cast<std::size_t>(params)) {}
    ~PostgresQuery() override { PQclear(result_); }
    StoreQuery& Text(int i, const std::string& s) override { return Bind(i, s); }
    StoreQuery& Int(int i, long long v) override { return Bind(i, std::to_string(v)); }
    StoreQuery& Real(int i, double v) override { return Bind(i, ExactNumber(v)); }
    StoreQuery& Null(int i) override {
        if (i >= 1 && static_cast<std::size_t>(i) <= values_.size()) {
            values_[static_cast<std::size_t>(i - 1)].reset();
        }
        return *this;
    }
    StoreStatus Run(long long* returned) override;
    bool Next() override;
    std::string Column(int i) const override { return PQgetvalue(result_, row_, i); }
    long long Integer(int i) const override {
        return std::strtoll(PQgetvalue(result_, row_, i), nullptr, 10);
    }
    double Number(int i) const override {
        return IsNull(i) ? 0.0 : std::strtod(PQgetvalue(result_, row_, i), nullptr);
    }
    bool IsNull(int i) const override { return PQgetisnull(result_, row_, i) != 0; }

  private:
    StoreQuery& Bind(int i, std::string text) {
        if (i >= 1 && static_cast<std::size_t>(i) <= values_.size()) {
            values_[static_cast<std::size_t>(i - 1)] = std::move(text);
        }
        return *this;
    }
    // Runs the statement with the bindings, then clears them; false on an error.
    bool Execute();

    PostgresStore& store_;
    std::string name_;
    std::vector<std::optional<std::string>> values_;
    PGresult* result_ = nullptr;
    int row_ = -1;
};

class PostgresStore final : public Store {
  public:
    PostgresStore(const std::string& uri, PGconn* conn) : Store(ShownTarget(uri)), conn_(conn) {
        // "relation already exists, skipping" and the like are no news on a station's console.
        PQsetNoticeProcessor(
            conn_, [](void*, const char*) {}, nullptr);
    }
    ~PostgresStore() override { PQfinish(conn_); }
    std::unique_ptr<StoreQuery> Prepare(const std::string& sql) override {
        int params = 0;
        const std::string text = ServerSql(sql, params);
        std::string name = "kora_" + std::to_string(++statements_);
        PGresult* r = PQprepare(conn_, name.c_str(), text.c_str(), params, nullptr);
        const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
        Record(r);
        PQclear(r);
        return ok ? std::make_unique<PostgresQuery>(*this, std::move(name), params) : nullptr;
    }
    bool Exec(const std::string& sql) override {
        PGresult* r = PQexec(conn_, sql.c_str());
        const auto status = PQresultStatus(r);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        Record(r);
        PQclear(r);
        return ok;
    }
    std::set<std::string> Columns(const std::string& table) override {
        std::set<std::string> out;
        if (auto q = Prepare("SELECT column_name FROM information_schema.columns "
                             "WHERE table_schema = current_schema() AND table_name = ?")) {
            q->Text(1, table);
            while (q->Next()) {
                out.insert(q->Column(0));
            }
        }
        return out;
    }
    std::string Error() const override { return error_; }
    const StoreDialect& Dialect() const override { return kPostgresDialect; }

    PGconn* Connection() { return conn_; }
    // Keeps the message of a failed result.
    void Record(const PGresult* r) {
        const auto status = PQresultStatus(r);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            error_ = Trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
        }
    }

  private:
    PGconn* conn_;
    std::string error_;
    long statements_ = 0;
};

bool PostgresQuery::Execute() {
    std::vector<const char*> values;
    values.reserve(values_.size());
    for (const auto& v : values_) {
        values.push_back(v ? v->c_str() : nullptr);
    }
    PQclear(result_);
    result_ = PQexecPrepared(store_.Connection(), name_.c_str(), static_cast<int>(values.size()),
                             values.data(), nullptr, nullptr, 0);
    for (auto& v : values_) {
        v.reset();
    }
    row_ = -1;
    store_.Record(result_);
    const auto status = PQresultStatus(result_);
    return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

StoreStatus PostgresQuery::Run(long long* returned) {
    const bool ok = Execute();
    StoreStatus status = StoreStatus::Ok;
    if (!ok) {
        const char* state = PQresultErrorField(result_, PG_DIAG_SQLSTATE);
        status = state && std::string(state) == kUniqueViolation ? StoreStatus::Duplicate
                                                                 : StoreStatus::Failed;
    } else if (returned && PQntuples(result_) > 0) {
        *returned = std::strtoll(PQgetvalue(result_, 0, 0), nullptr, 10);
    }
    PQclear(result_);
    result_ = nullptr;
    return status;
}

bool PostgresQuery::Next() {
    if (!result_ && !Execute()) {
        PQclear(result_);
        result_ = nullptr;
        return false;
    }
    if (++row_ < PQntuples(result_)) {
        return true;
    }
    PQclear(result_);
    result_ = nullptr;
    return false;
}

} // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& uri, std::string& error) {
    std::vector<const char*> keys = {"dbname", "application_name"};
    std::vector<const char*> values = {uri.c_str(), kApplicationName};
    if (uri.find("connect_timeout") == std::string::npos) {
        keys.push_back("connect_timeout");
        values.push_back(kConnectTimeout);
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(keys.data(), values.data(), 1);
    if (!conn || PQstatus(conn) != CONNECTION_OK) {
        error = ShownTarget(uri) + ": " + Trimmed(conn ? PQerrorMessage(conn) : "out of memory");
        PQfinish(conn);
        return nullptr;
    }
    return std::make_unique<PostgresStore>(uri, conn);
}

} // namespace kora::run
