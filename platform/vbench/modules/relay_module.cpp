#include <vbench/bench/virtual_bench.h>
#include <vbench/modules/module_registry.h>
#include <vbench/modules/relay_module.h>

namespace kora::vbench {

RelayModule& RelayModuleOf(VirtualBench& bench, const std::string& kind, const std::string& name) {
    static ModuleRegistry<RelayModule> registry;
    std::lock_guard lock(bench.mutex());
    // One registry for every kind: the kind keeps a PFG and a PAM of the same name apart.
    return registry.get(bench, kind + "!" + name);
}

} // namespace kora::vbench
