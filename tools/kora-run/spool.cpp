#include "spool.h"

#include "run_store.h"
#include "schema.h"

#include <cstdlib>
#include <filesystem>
#include <vector>

namespace kora::run {

namespace {

namespace fs = std::filesystem;

constexpr const char* kSpooledNote =
    "kora-run: %s\nkora-run: run kept in the spool %s (%d waiting)";
constexpr const char* kDeliveredNote = "Spool %s: %d run(s) delivered to %s";
constexpr const char* kDuplicatesNote = ", %d already there";
constexpr const char* kWaitingNote = ", %d waiting";

std::string Printed(const char* format, auto... args) {
    const int n = std::snprintf(nullptr, 0, format, args...);
    std::string out(static_cast<std::size_t>(n > 0 ? n : 0) + 1, '\0');
    std::snprintf(out.data(), out.size(), format, args...);
    out.pop_back();
    return out;
}

std::vector<long long> SpooledRuns(Store& spool) {
    std::vector<long long> ids;
    if (spool.Columns("uut_result").empty()) {
        return ids;
    }
    if (auto q = spool.Prepare("SELECT id FROM uut_result ORDER BY id")) {
        while (q->Next()) {
            ids.push_back(q->Integer(0));
        }
    }
    return ids;
}

} // namespace

std::string DefaultSpoolPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    const fs::path base = state && *state ? fs::path(state)
                          : home && *home ? fs::path(home) / ".local" / "state"
                                          : fs::temp_directory_path();
    return (base / "kora-run" / "spool.db").string();
}

bool DeliverSpool(Store& server, const std::string& spoolPath, SpoolDelivery& out) {
    std::error_code ec;
    if (!fs::exists(spoolPath, ec)) {
        return true;
    }
    auto spool = OpenSqliteStore(spoolPath, true, out.error);
    if (!spool) {
        return false;
    }
    const std::vector<long long> ids = SpooledRuns(*spool);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        ReportView run;
        std::string error;
        if (!ReadRun(*spool, ids[i], {}, run, error)) {
            continue; // another kora-run of this station delivered it meanwhile
        }
        const StoreStatus status = WriteRun(server, run, error);
        if (status == StoreStatus::Failed) {
            out.error = error;
            out.waiting = static_cast<int>(ids.size() - i);
            return false;
        }
        ++(status == StoreStatus::Ok ? out.delivered : out.duplicates);
        // Gone from the spool only once the server holds it: a crash in between leaves a run
        // that the server refuses as a duplicate next time.
        if (!spool->Exec("BEGIN IMMEDIATE") || !DeleteRun(*spool, ids[i], error) ||
            !spool->Exec("COMMIT")) {
            spool->Exec("ROLLBACK");
            out.error = error.empty() ? spool->Name() + ": " + spool->Error() : error;
            out.waiting = static_cast<int>(ids.size() - i);
            return false;
        }
    }
    return true;
}

std::string DeliveryNote(const SpoolDelivery& d, const std::string& spoolPath,
                         const std::string& server) {
    std::string note = Printed(kDeliveredNote, spoolPath.c_str(), d.delivered, server.c_str());
    if (d.duplicates) {
        note += Printed(kDuplicatesNote, d.duplicates);
    }
    if (d.waiting) {
        note += Printed(kWaitingNote, d.waiting);
    }
    return note;
}

RunStored StoreRun(const ReportView& run, const std::string& target, const std::string& spoolPath,
                   const std::function<void(const std::string&)>& say, std::string& error) {
    if (!IsServerTarget(target)) {
        auto store = OpenStore(target, true, error);
        return store && WriteRun(*store, run, error) == StoreStatus::Ok ? RunStored::Written
                                                                        : RunStored::Failed;
    }
    std::string why;
    if (auto server = OpenStore(target, true, why)) {
        SpoolDelivery delivery;
        const bool inOrder = DeliverSpool(*server, spoolPath, delivery);
        if (delivery.delivered + delivery.duplicates > 0) {
            say(DeliveryNote(delivery, spoolPath, server->Name()));
        }
        if (!inOrder) {
            why = delivery.error;
        } else if (WriteRun(*server, run, why) != StoreStatus::Failed) {
            return RunStored::Written;
        }
    }
    std::error_code ec;
    fs::create_directories(fs::path(spoolPath).parent_path(), ec);
    auto spool = OpenSqliteStore(spoolPath, true, error);
    if (!spool || WriteRun(*spool, run, error) != StoreStatus::Ok) {
        error = ShownTarget(target) + ": " + why + "; the spool failed too: " + error;
        return RunStored::Failed;
    }
    say(Printed(kSpooledNote, why.c_str(), spoolPath.c_str(),
                static_cast<int>(SpooledRuns(*spool).size())));
    return RunStored::Spooled;
}

} // namespace kora::run
