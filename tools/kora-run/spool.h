// Store and forward: a station keeps the runs that its server could not take in a local SQLite
// spool and delivers them later, in the order they ran, each exactly once (the server refuses a
// run identifier it holds already, so a run delivered twice is stored once).
#pragma once

#include "report_view.h"
#include "store.h"

#include <functional>
#include <string>

namespace kora::run {

// Where a station spools when not told: $XDG_STATE_HOME/kora-run/spool.db, else under
// ~/.local/state.
std::string DefaultSpoolPath();

struct SpoolDelivery {
    int delivered = 0;  // runs the server took
    int duplicates = 0; // runs the server had already (delivered before, then left in the spool)
    int waiting = 0;    // runs still in the spool
    std::string error;  // why the delivery stopped
};

// Delivers the spool at `spoolPath` to `server` in order, removing each delivered run; stops at
// the first run the server does not take. False with `out.error` set when runs are left.
bool DeliverSpool(Store& server, const std::string& spoolPath, SpoolDelivery& out);

enum class RunStored { Written, Spooled, Failed };

// Stores `run` in `target`. A file is written or the run fails. A server first gets what waits
// in the spool; when it cannot be reached, or a write fails, the run joins the spool (after the
// ones waiting, so that the order holds). `say` gets the console's notes.
RunStored StoreRun(const ReportView& run, const std::string& target, const std::string& spoolPath,
                   const std::function<void(const std::string&)>& say, std::string& error);

// The console's line for a delivery from the spool.
std::string DeliveryNote(const SpoolDelivery& d, const std::string& spoolPath,
                         const std::string& server);

} // namespace kora::run
