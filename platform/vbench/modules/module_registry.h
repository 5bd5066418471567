// Keeps the models of one kind of module per bench, for the modules that the bench does not hold
// itself: `registry.get(bench, "PICT1")` hands back the model of that device name on that bench,
// created on first use (names match without regard to case).
//
// A model must belong to the bench's present circuit. When a station is loaded the bench builds a
// new circuit, and when a bench goes away another one may later sit at the same address; so every
// look-up first drops the models of benches that are gone (known from the active bench that was
// seen with them) and renews a model whose attachedTo(bench) says it no longer fits. A model's
// destructor must therefore not touch its bench.
//
// The model type provides
//     Model(VirtualBench& bench, std::string name);
//     bool attachedTo(VirtualBench& bench) const;
#pragma once

#include <vbench/bench/virtual_bench.h>

#include <cctype>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace kora::vbench {

template <typename Model> class ModuleRegistry {
  public:
    Model& get(VirtualBench& bench, const std::string& name) {
        std::lock_guard lock(mutex_);
        dropGoneBenches();
        Slot& slot = slots_[&bench];
        if (slot.known && slot.owner.lock().get() != &bench) {
            slot = Slot{}; // a bench that went away left this address to a new one
        }
        if (!slot.known) {
            if (auto active = VirtualBench::active(); active.get() == &bench) {
                slot.owner = active;
                slot.known = true;
            }
        }
        auto& model = slot.models[Fold(name)];
        if (!model || !model->attachedTo(bench)) {
            model.reset();
            model = std::make_unique<Model>(bench, name);
        }
        return *model;
    }

    // The model of that name when one was made and still fits the bench; null otherwise.
    Model* find(VirtualBench& bench, const std::string& name) {
        std::lock_guard lock(mutex_);
        auto slot = slots_.find(&bench);
        if (slot == slots_.end() ||
            (slot->second.known && slot->second.owner.lock().get() != &bench)) {
            return nullptr;
        }
        auto model = slot->second.models.find(Fold(name));
        return model != slot->second.models.end() && model->second &&
                       model->second->attachedTo(bench)
                   ? model->second.get()
                   : nullptr;
    }

  private:
    struct Slot {
        std::weak_ptr<VirtualBench> owner;
        bool known = false; // owner was seen; until then the slot cannot tell when it goes stale
        std::map<std::string, std::unique_ptr<Model>> models;
    };

    static std::string Fold(std::string text) {
        for (char& c : text) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        return text;
    }

    void dropGoneBenches() {
        for (auto it = slots_.begin(); it != slots_.end();) {
            if (it->second.known && it->second.owner.expired()) {
                it = slots_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex mutex_;
    std::map<const VirtualBench*, Slot> slots_;
};

} // namespace kora::vbench
