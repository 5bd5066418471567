#include <vbench/bench/station.h>
#include <vbench/netlist/netlist_parser.h>
#include <vbench/netlist/spice_number.h>

#include <resmgr/ini_file.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace kora::vbench {

namespace {

namespace fs = std::filesystem;

constexpr const char* kNoiseSeedVariable = "KORA_NOISE_SEED";
constexpr int kPinCount = 160;

std::string Fold(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string ReadFile(const fs::path& path, const std::string& what, const std::string& source) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw StationError(source + ": cannot read the " + what + " file '" + path.string() + "'");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// "P1".."P160" to 1..160, else 0.
int PinNumber(std::string_view text) {
    if (text.size() < 2 || (text[0] != 'P' && text[0] != 'p')) {
        return 0;
    }
    int n = 0;
    auto [end, ec] = std::from_chars(text.data() + 1, text.data() + text.size(), n);
    if (ec != std::errc() || end != text.data() + text.size() || text[1] == '0' || n < 1 ||
        n > kPinCount) {
        return 0;
    }
    return n;
}

// "<digits>" as a number, else -1.
int Digits(std::string_view text) {
    int n = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || n < 0) {
        return -1;
    }
    return n;
}

std::vector<std::string_view> SplitColons(std::string_view text) {
    std::vector<std::string_view> parts;
    for (;;) {
        const auto at = text.find("::");
        parts.push_back(text.substr(0, at));
        if (at == std::string_view::npos) {
            return parts;
        }
        text.remove_prefix(at + 2);
    }
}

// "<letters><digits>": the number, else -1.
int InterfaceNumber(std::string_view text) {
    std::size_t letters = 0;
    while (letters < text.size() && std::isalpha(static_cast<unsigned char>(text[letters]))) {
        ++letters;
    }
    return letters == 0 ? -1 : Digits(text.substr(letters));
}

// The comma list of cartridge cards, trimmed, empty entries dropped; a card listed twice is an
// error.
std::vector<std::string> ParseCartridges(std::string_view list, const std::string& source) {
    std::vector<std::string> out;
    std::set<std::string> seen;
    while (!list.empty()) {
        const auto comma = list.find(',');
        std::string_view entry = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        const auto first = entry.find_first_not_of(" \t");
        if (first == std::string_view::npos) {
            continue;
        }
        entry = entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
        if (!seen.insert(Fold(entry)).second) {
            throw StationError(source + ": cartridge '" + std::string(entry) + "' listed twice");
        }
        out.emplace_back(entry);
    }
    return out;
}

// "C1 60, C7 -5": capacitors of the board and the voltage each holds when the station starts.
std::vector<std::pair<std::string, double>> ParseCharges(std::string_view list,
                                                         const std::string& source) {
    std::vector<std::pair<std::string, double>> out;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const std::string entry(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
        std::istringstream words(entry);
        std::string name, volts, extra;
        if (!(words >> name)) {
            continue;
        }
        words >> volts >> extra;
        const auto v = ParseSpiceNumber(volts.empty() ? std::string("?") : volts);
        if (!v || !extra.empty()) {
            throw StationError(source + ": ChargedCapacitors entry '" + entry +
                               "' is not a capacitor name and its voltage");
        }
        out.emplace_back(Fold(name), *v);
    }
    return out;
}

} // namespace

std::optional<DeviceAddress> ModuleAddress(const std::string& resource) {
    const auto parts = SplitColons(resource);
    if (parts.size() != 3) {
        return std::nullopt;
    }
    DeviceAddress a;
    a.frame = InterfaceNumber(parts[0]);
    const int line = Digits(parts[1]);
    a.slot = Digits(parts[2]);
    if (a.frame < 0 || line < 0 || a.slot < 0) {
        return std::nullopt;
    }
    a.bus = std::string(parts[0]) + "::" + std::string(parts[1]);
    return a;
}

std::optional<DeviceAddress> FrameSlotAddress(const std::string& resource) {
    const auto parts = SplitColons(resource);
    if (parts.size() < 2) {
        return std::nullopt;
    }
    DeviceAddress a;
    a.frame = InterfaceNumber(parts[0]);
    a.slot = Digits(parts[1]);
    if (a.frame < 0 || a.slot < 0) {
        return std::nullopt;
    }
    a.bus = std::string(parts[0]);
    return a;
}

void FixtureLookup::build(const std::vector<FixturePin>& fixture) const {
    pins_.clear();
    for (std::size_t i = 0; i < fixture.size(); ++i) {
        const FixturePin& p = fixture[i];
        if (p.pin < 1 || p.pin > kPinCount) {
            continue;
        }
        auto& byPin = pins_.try_emplace(Fold(p.card), kPinCount + 1, -1).first->second;
        int& entry = byPin[static_cast<std::size_t>(p.pin)];
        if (entry < 0) { // the first entry wins, as a walk through the wiring would find it
            entry = static_cast<int>(i);
        }
    }
    builtFrom_ = fixture.data();
    builtSize_ = fixture.size();
}

const FixturePin* FixtureLookup::find(const std::vector<FixturePin>& fixture,
                                      const std::string& foldedCard, int pin) const {
    auto walk = [&]() -> const FixturePin* {
        for (const auto& p : fixture) {
            if (p.pin == pin && Fold(p.card) == foldedCard) {
                return &p;
            }
        }
        return nullptr;
    };
    if (pin < 1 || pin > kPinCount) { // no wiring file has such a pin: not worth a table
        return walk();
    }
    std::lock_guard lock(mutex_);
    if (builtFrom_ != fixture.data() || builtSize_ != fixture.size()) {
        build(fixture);
    }
    const auto card = pins_.find(foldedCard);
    const int entry = card == pins_.end() ? -1 : card->second[static_cast<std::size_t>(pin)];
    if (entry >= 0) {
        const FixturePin& p = fixture[static_cast<std::size_t>(entry)];
        if (p.pin == pin && Fold(p.card) == foldedCard) {
            return &p;
        }
    }
    // Wiring copied over the old in place keeps its storage, so the table may be behind it. A pin
    // that is not wired is rare enough to be confirmed by a walk, and an entry that no longer
    // says what the table says gives the copy away too.
    const FixturePin* found = walk();
    if (found || entry >= 0) {
        build(fixture);
    }
    return found;
}

const Station& DefaultStation() {
    static const Station defaults;
    return defaults;
}

std::optional<std::string> Station::netOf(const std::string& card, int pin) const {
    if (const FixturePin* p = fixtureLookup.find(fixture, Fold(card), pin)) {
        return p->net;
    }
    return std::nullopt;
}

std::vector<const FixturePin*> Station::pinsOf(const std::string& net) const {
    std::vector<const FixturePin*> out;
    const std::string folded = Fold(net);
    for (const auto& p : fixture) {
        if (p.net == folded) {
            out.push_back(&p);
        }
    }
    return out;
}

std::string Station::deviceForResource(const std::string& resource) const {
    const std::string folded = Fold(resource);
    for (const auto& d : devices) {
        if (!d.resource.empty() && Fold(d.resource) == folded) {
            return d.name;
        }
    }
    return resource;
}

std::vector<FixturePin> ParseFixture(const std::string& text, const std::string& file,
                                     const Netlist& board) {
    std::set<std::string> nets;
    for (const auto& n : board.nets()) {
        nets.insert(n);
    }
    std::vector<FixturePin> out;
    std::map<std::pair<std::string, int>, int> seen; // (folded card, pin) -> line
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        std::size_t cut = line.find_first_of("#;");
        if (cut != std::string::npos) {
            line.erase(cut);
        }
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string s; words >> s;) {
            w.push_back(s);
        }
        if (w.empty()) {
            continue;
        }
        const std::string at = file + ":" + std::to_string(lineNo) + ": ";
        if (w.size() != 3) {
            throw StationError(at + "expected CARD PIN NET");
        }
        FixturePin p;
        p.card = w[0];
        p.pin = PinNumber(w[1]);
        p.net = Fold(w[2]);
        p.where = {file, lineNo};
        if (p.pin == 0) {
            throw StationError(at + "'" + w[1] + "' is not a pin (P1..P160)");
        }
        if (!IsGroundName(p.net) && !nets.count(p.net)) {
            throw StationError(at + "net '" + w[2] + "' is not on the board");
        }
        auto key = std::make_pair(Fold(p.card), p.pin);
        if (auto it = seen.find(key); it != seen.end()) {
            throw StationError(at + w[0] + " " + w[1] + " is wired already (line " +
                               std::to_string(it->second) + ")");
        }
        seen.emplace(key, lineNo);
        out.push_back(std::move(p));
    }
    return out;
}

Station StationFromKeys(const std::vector<std::pair<std::string, std::string>>& keys,
                        const std::string& baseDir, const std::string& source) {
    Station s;
    std::map<std::string, std::string> values; // folded key -> value (first one wins)
    for (const auto& [k, v] : keys) {
        values.emplace(Fold(k), v);
    }
    static const std::set<std::string> known = {"board",
                                                "fixture",
                                                "relayresistance",
                                                "relayoffresistance",
                                                "busresistance",
                                                "debouncetime",
                                                "settlingtime",
                                                "meternoise",
                                                "noiseseed",
                                                "cartridges",
                                                "psamcurrentoffsets",
                                                "needlecapacitance",
                                                "needleinductance",
                                                "chargedcapacitors"};
    constexpr std::string_view kInputsSuffix = "inputs"; // <CARD>Inputs
    auto isInputsKey = [&](const std::string& folded) {
        return folded.size() > kInputsSuffix.size() &&
               folded.compare(folded.size() - kInputsSuffix.size(), kInputsSuffix.size(),
                              kInputsSuffix) == 0;
    };
    for (const auto& [k, v] : keys) {
        if (!known.count(Fold(k)) && !isInputsKey(Fold(k))) {
            throw StationError(source + ": unknown key '" + k + "'");
        }
    }
    auto number = [&](const char* key, double& out, bool positive) {
        auto it = values.find(key);
        if (it == values.end()) {
            return;
        }
        auto v = ParseSpiceNumber(it->second);
        if (!v || *v < 0 || (positive && *v == 0)) {
            throw StationError(source + ": " + key + " = '" + it->second +
                               "' is not a usable number");
        }
        out = *v;
    };
    number("relayresistance", s.relayResistance, true);
    number("relayoffresistance", s.relayOffResistance, true);
    number("busresistance", s.busResistance, true);
    number("debouncetime", s.debounceTime, false);
    number("settlingtime", s.settlingTime, false);
    number("needlecapacitance", s.needleCapacitance, false);
    number("needleinductance", s.needleInductance, false);
    if (auto it = values.find("meternoise"); it != values.end()) {
        if (it->second != "0" && it->second != "1") {
            throw StationError(source + ": MeterNoise must be 0 or 1");
        }
        s.meterNoise = it->second == "1";
    }
    // KORA_NOISE_SEED in the environment stands for the key, so that runs of one station can
    // read like different boards of a lot (statistics across runs).
    const char* seedOverride = std::getenv(kNoiseSeedVariable);
    const auto seed = values.find("noiseseed");
    if (seedOverride || seed != values.end()) {
        const std::string v = seedOverride ? seedOverride : seed->second;
        auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), s.noiseSeed);
        if (ec != std::errc() || end != v.data() + v.size()) {
            throw StationError((seedOverride ? std::string(kNoiseSeedVariable) : source) +
                               ": NoiseSeed = '" + v + "' is not a whole number");
        }
    }

    if (auto it = values.find("psamcurrentoffsets"); it != values.end()) {
        std::stringstream list(it->second);
        for (std::string item; std::getline(list, item, ',');) {
            const auto first = item.find_first_not_of(" \t");
            const auto last = item.find_last_not_of(" \t");
            const auto v = first == std::string::npos
                               ? std::nullopt
                               : ParseSpiceNumber(item.substr(first, last - first + 1));
            if (!v) {
                throw StationError(source + ": PsamCurrentOffsets = '" + it->second +
                                   "' is not a list of numbers");
            }
            s.psamCurrentOffsets.push_back(*v);
        }
    }
    if (auto it = values.find("cartridges"); it != values.end()) {
        s.cartridges = ParseCartridges(it->second, source);
    }
    for (const auto& [key, value] : values) {
        bool listed = !isInputsKey(key);
        for (const auto& card : s.cartridges) {
            listed = listed || key == Fold(card) + std::string(kInputsSuffix);
        }
        if (!listed) {
            throw StationError(source + ": '" + key + "' names no card of Cartridges");
        }
    }
    for (const auto& card : s.cartridges) {
        auto it = values.find(Fold(card) + std::string(kInputsSuffix));
        if (it == values.end()) {
            continue;
        }
        long isolated = 0, status = 0;
        char tail = 0;
        if (std::sscanf(it->second.c_str(), "%li , %li %c", &isolated, &status, &tail) != 2 ||
            isolated < 0 || isolated > 0xFFFF || status < 0 || status > 0xFFFF) {
            throw StationError(source + ": " + card + "Inputs = '" + it->second +
                               "' is not two 16-bit numbers ISOLATED, STATUS");
        }
        std::string upper;
        for (char c : card) {
            upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        s.cartridgeInputs[upper] = {static_cast<uint16_t>(isolated), static_cast<uint16_t>(status)};
    }

    if (auto it = values.find("chargedcapacitors"); it != values.end()) {
        s.chargedCapacitors = ParseCharges(it->second, source);
    }

    auto path = [&](const std::string& name) {
        fs::path p = name;
        return p.is_relative() ? fs::path(baseDir) / p : p;
    };
    auto board = values.find("board");
    if (board == values.end() || board->second.empty()) {
        throw StationError(source + ": no Board netlist named");
    }
    s.boardFile = path(board->second).string();
    ReadFile(s.boardFile, "board", source); // a clear message for a missing file
    s.board = LoadNetlist(s.boardFile);     // NetlistError carries file and line
    if (auto fx = values.find("fixture"); fx != values.end() && !fx->second.empty()) {
        s.fixtureFile = path(fx->second).string();
        s.fixture =
            ParseFixture(ReadFile(s.fixtureFile, "fixture", source), s.fixtureFile, s.board);
    }
    return s;
}

Station LoadStation(const std::string& physicalLayerFile) {
    std::string error;
    auto ini = resmgr::IniFile::load(physicalLayerFile, &error);
    if (!ini) {
        throw StationError(error);
    }
    const resmgr::IniSection* section = ini->findSection(kStationSection);
    if (!section) {
        throw StationError(physicalLayerFile + ": no [" + kStationSection + "] section");
    }
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& e : section->entries()) {
        keys.emplace_back(e.key, e.value);
    }
    const std::string source = physicalLayerFile + " [" + kStationSection + "]";
    Station s;
    try {
        s = StationFromKeys(keys, fs::path(physicalLayerFile).parent_path().string(), source);
    } catch (const NetlistError& e) {
        throw StationError(e.what());
    }
    s.physicalLayerFile = physicalLayerFile;
    constexpr std::string_view kDevicePrefix = "device->";
    for (const auto& section : ini->sections()) {
        if (Fold(section.name()).rfind(kDevicePrefix, 0) != 0) {
            continue;
        }
        StationDevice d;
        d.name = section.name().substr(kDevicePrefix.size());
        if (const auto* type = section.find("Type")) {
            d.type = type->value;
        }
        if (const auto* resource = section.find("ResourceDesc")) {
            d.resource = resource->value;
        }
        for (const auto& e : section.entries()) {
            d.keys.emplace_back(e.key, e.value);
        }
        s.devices.push_back(std::move(d));
    }
    return s;
}

} // namespace kora::vbench
