// The fixture side of the cartridge cards on the active virtual bench, for tests: what the fixture
// drives onto a card's inputs (a lid switch, a vacuum sensor, a power-fail line) and what the card
// drives out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kora::drivers::ucm {

struct CardOutputs {
    uint16_t isolated;
    uint16_t openDrain;
};

// Sets a card's isolated and status inputs; false when no bench is active.
bool SetFixtureInputs(const std::string& card, uint16_t isolatedIn, uint16_t statusIn);
// A card's outputs; nothing when no bench is active.
std::optional<CardOutputs> FixtureOutputs(const std::string& card);

} // namespace kora::drivers::ucm
