// Activation of the station that the resource manager's configuration describes.
//
// On the target platform the drivers talk to whatever hardware is plugged in; here the hardware is
// the virtual station of the physical layer file that RESMGR_Setup loaded (its [VirtualBench]
// section). The first driver call after a set-up builds that station and activates it, unless a
// bench was activated explicitly (tests do that), which is then always the one used. A later
// set-up with the same physical layer file keeps the station as it is (charges, relays, clock);
// another file replaces it.
#include <vbench/bench/virtual_bench.h>

#include <resmgr/resmgr_inspect.h>

#include <atomic>
#include <mutex>

namespace kora::vbench {

namespace {

std::mutex g_autoMutex;
std::weak_ptr<VirtualBench> g_autoBench; // the bench activated from the configuration
std::atomic<uint64_t> g_checkedSetups{0};
std::string g_autoError; // why the configured station could not be built; "" when it could

bool HasStationSection(const std::string& physicalLayerFile) {
    std::string ignored;
    auto ini = resmgr::IniFile::load(physicalLayerFile, &ignored);
    return ini && ini->findSection(kStationSection) != nullptr;
}

} // namespace

std::shared_ptr<VirtualBench> VirtualBench::forDriverCall() {
    auto bench = active();
    const uint64_t setups = resmgr::inspect::SetupCount();
    if (setups == g_checkedSetups.load(std::memory_order_acquire)) {
        return bench;
    }
    std::lock_guard lock(g_autoMutex);
    bench = active();
    if (bench && bench != g_autoBench.lock()) {
        g_checkedSetups.store(setups, std::memory_order_release);
        return bench; // activated explicitly
    }
    const std::string file = resmgr::inspect::PhysicalLayerFile();
    if (!file.empty() &&
        !(bench && bench->station() && bench->station()->physicalLayerFile == file)) {
        g_autoError.clear();
        if (HasStationSection(file)) {
            try {
                auto fresh = std::make_shared<VirtualBench>();
                fresh->loadStation(LoadStation(file));
                activate(fresh);
                g_autoBench = fresh;
                bench = std::move(fresh);
            } catch (const std::exception& e) {
                g_autoError = e.what();
            }
        } else {
            g_autoError = file + ": no [" + kStationSection + "] section describes the station";
        }
    }
    g_checkedSetups.store(setups, std::memory_order_release);
    return bench;
}

std::string VirtualBench::activationError() {
    std::lock_guard lock(g_autoMutex);
    return g_autoError;
}

} // namespace kora::vbench
