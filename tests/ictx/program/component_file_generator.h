// A generator of random, valid component files: every class with its parameters, pre-processor
// lines, INFO comments, variants, digital sections with groups, labels, jumps, parts and
// insertions of vector libraries. Numbers carry at most seven significant digits (six decimals
// for the delays), so that they survive a save unchanged.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

// GCC 12 reports std::string concatenations with a literal first as overlapping copies
// (-Wrestrict) when it inlines them; the generator is made of such concatenations.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wrestrict"

namespace kora::test {

class ComponentFileGenerator {
  public:
    explicit ComponentFileGenerator(uint32_t seed) : rng_(seed) {}

    // Channel names the generated pin lists use; the bench must hold all of them.
    static std::vector<std::string> Channels() {
        std::vector<std::string> names;
        for (int i = 0; i < 24; ++i) {
            names.push_back("P" + std::to_string(i));
        }
        return names;
    }

    std::string File() {
        out_.clear();
        variants_.clear();
        libraries_.clear();
        index_ = 1;
        if (Chance(0.8)) {
            const int n = Int(0, 4);
            std::string list;
            for (int i = 1; i <= n; ++i) {
                variants_.push_back("V" + std::to_string(i));
                list += (i > 1 ? "," : "") + variants_.back();
            }
            Header(index_++, "SETUP" + std::to_string(Int(0, 9)), "SETUP", list);
            if (Chance(0.5)) {
                out_ += "#SORT\n";
            }
        }
        const int libraries = Int(0, 2);
        for (int i = 0; i < libraries; ++i) {
            Library(i);
        }
        const int sections = Int(1, 14);
        for (int i = 0; i < sections; ++i) {
            if (Chance(0.3)) {
                Digital();
            } else {
                Analog();
            }
        }
        return out_;
    }

  private:
    struct LibraryInfo {
        std::string name, group;
        int groupSize;
        int parts;
    };

    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    template <typename T> const T& Pick(const std::vector<T>& v) {
        return v[static_cast<std::size_t>(Int(0, static_cast<int>(v.size()) - 1))];
    }
    const char* Pick(std::initializer_list<const char*> v) {
        return *(v.begin() + Int(0, static_cast<int>(v.size()) - 1));
    }

    std::string Word() {
        static const char* words[] = {"reset", "pull", "up", "line", "check", "bus", "enable",
                                      "x1",    "T_2",  "ok", "A-B",  "3.3V",  "note"};
        return words[Int(0, 12)];
    }
    std::string Words(int n) {
        std::string s = Word();
        for (int i = 1; i < n; ++i) {
            s += " " + Word();
        }
        return s;
    }
    std::string Channel() { return "P" + std::to_string(Int(0, 23)); }

    // A real with up to seven significant digits.
    std::string Real(int emin = -12, int emax = 6) {
        const int digits = Int(1, 7);
        int mantissa = Int(1, 9);
        for (int i = 1; i < digits; ++i) {
            mantissa = mantissa * 10 + Int(0, 9);
        }
        std::string s = (Chance(0.15) ? "-" : "") + std::to_string(mantissa);
        const int e = Int(emin, emax) - (digits - 1);
        return e == 0 ? s : s + "e" + std::to_string(e);
    }
    std::string Integer() { return std::to_string(Int(-20000, 9999999)); }

    std::string Values(int count, bool integer) {
        std::string s = integer ? Integer() : Real();
        for (int i = 1; i < count; ++i) {
            s += "," + (integer ? Integer() : Real());
        }
        return s;
    }

    void Header(int index, const std::string& name, const std::string& cls,
                const std::string& variants = "", const std::string& comment = "") {
        out_ += "\n[" + std::to_string(index) + ", \"" + name + "\", \"" + cls + "\", \"" +
                variants + "\", \"" + comment + "\"]\n";
    }

    std::string ComponentVariants() {
        std::string list;
        if (variants_.empty() || Chance(0.4)) {
            return Chance(0.1) ? "-" : "";
        }
        for (const auto& v : variants_) {
            if (Chance(0.5)) {
                list += (list.empty() ? "" : ",") + v;
            }
        }
        return list;
    }

    void Directives() {
        if (Chance(0.2)) {
            out_ += std::string("#") + Pick({"DISABLED", "NOREPORT", "LOCKED"}) + "\n";
        }
        if (Chance(0.2)) {
            out_ += "#ABORTONFAIL\n";
        }
        if (Chance(0.05)) {
            out_ += "#NOSORT\n";
        }
        if (Chance(0.3)) {
            out_ += "/*\n";
            for (int i = Int(1, 3); i > 0; --i) {
                out_ += Words(Int(1, 4)) + "\n";
            }
            out_ += "*/\n";
        }
    }

    void Analog() {
        struct Class {
            const char* name;
            int subTests;
        };
        static const Class classes[] = {
            {"DISCHARGE", 2},  {"CONTACT", 2},  {"TRACK", 1},  {"CAPACITOR", 1},
            {"INDUCTOR", 1},   {"RESISTOR", 1}, {"DIODE", 2},  {"PHOTOCOUPLER", 3},
            {"TRANSISTOR", 2}, {"FET", 2},      {"SHUNT", 1},  {"Z-DIODE", 1},
            {"VARISTOR", 2},   {"RELAY", 3},    {"BUZZER", 3},
        };
        const Class& c = classes[Int(0, 14)];
        const std::string cls = c.name;
        const int index = index_++;
        Header(index, "C" + std::to_string(index), cls, ComponentVariants(),
               Chance(0.3) ? Words(2) : "");
        Directives();
        if (Chance(0.5)) {
            out_ += "PI=\"" + Words(1) + "\"\n";
        }
        if (cls == "TRANSISTOR" || cls == "FET") {
            out_ += std::string("PT=\"") + Pick({"NPN", "PNP", "N-CHAN", "P-CHAN"}) + "\"\n";
        } else if (cls == "RELAY" && Chance(0.7)) {
            out_ += std::string("PT=\"") + Pick({"NO", "NC"}) + "\"\n";
        } else if (cls == "CAPACITOR" && Chance(0.3)) {
            out_ += "PT=\"POL\"\n";
        }
        if (Chance(0.95)) {
            for (int i = Int(1, 4); i > 0; --i) {
                out_ += "TP=\"" + Channel() + "\"\n";
            }
        }
        if (cls == "SHUNT" || Chance(0.2)) {
            for (int i = Int(1, 2); i > 0; --i) {
                out_ += "TS=\"" + Channel() + "\"\n";
            }
        }
        if (Chance(0.2)) {
            for (int i = Int(1, 4); i > 0; --i) {
                out_ += "GP=\"" + Channel() + "\"\n";
            }
        }
        if (Chance(0.1)) {
            out_ += "GS=\"" + Channel() + "\"\n";
        }
        if (Chance(0.1)) {
            out_ += "TL=\"" + Channel() + "," + Channel() + "\"\n";
        }
        if (cls == "DISCHARGE" && Chance(0.5)) {
            out_ += "RL=\"" + Channel() + "," + Channel() + "\"\n";
        }
        if (cls == "CONTACT" && Chance(0.5)) {
            out_ += "XS=\"" + Channel() + "\"\nXO=\"" + Channel() + "\"\n";
        }
        if (Chance(0.4)) {
            out_ += "MM=\"" + Modes(cls) + "\"\n";
        }
        const bool needsNominal =
            cls == "RESISTOR" || cls == "CAPACITOR" || cls == "INDUCTOR" || cls == "Z-DIODE";
        if (needsNominal ? Chance(0.95) : Chance(0.5)) {
            out_ += "NV=" + Nominal(cls, c.subTests) + "\n";
        }
        static const char* reals[] = {"NV+", "NV-", "LL", "UL", "MC", "V",  "VO", "C",
                                      "F",   "VR",  "CR", "MD", "MT", "MI", "SV", "SC"};
        static const char* integers[] = {"AR", "MA", "MF", "SI", "SD", "AZ"};
        for (const char* key : reals) {
            if (Chance(0.12)) {
                out_ += std::string(key) + (Chance(0.5) ? "=" : " = ") +
                        Values(Int(1, c.subTests), false) + "\n";
            }
        }
        for (const char* key : integers) {
            if (Chance(0.1)) {
                out_ += std::string(key) + "=" + Values(Int(1, c.subTests), true) + "\n";
            }
        }
        if (Chance(0.2)) {
            out_ += "// " + Words(2) + "\n";
        }
    }

    std::string Modes(const std::string& cls) {
        if (cls == "CONTACT") {
            return std::string(1, "NF-"[Int(0, 2)]) + "NF-"[Int(0, 2)] + "-A"[Int(0, 1)];
        }
        if (cls == "TRACK") {
            return std::string(1, "NF-"[Int(0, 2)]);
        }
        if (cls == "CAPACITOR") {
            return Pick({"CP", "CS", "RP", "RS", "ZM", "ZP", "-"});
        }
        if (cls == "INDUCTOR") {
            return Pick({"LP", "LS", "RP", "RS", "ZM", "ZP"});
        }
        if (cls == "RESISTOR") {
            return Pick({"C", "V", "-", "X"});
        }
        return Pick({"V-", "VV", "II", "-V", "VVV", "I"});
    }

    std::string Nominal(const std::string& cls, int subTests) {
        if (cls == "SHUNT") {
            return Chance(0.9) ? "0." + std::to_string(Int(1, 99)) : "1.5";
        }
        if (cls == "CAPACITOR") {
            return Real(-12, -2);
        }
        if (cls == "INDUCTOR") {
            return Real(-7, 2);
        }
        std::string s = Real(-1, 6);
        if (s[0] == '-' && cls == "RESISTOR") {
            s.erase(0, 1);
        }
        for (int i = 1; i < subTests; ++i) {
            if (Chance(0.5)) {
                s += "," + Real(-2, 2);
            }
        }
        return s;
    }

    // A value definition for `pins` pin states.
    std::string Value(int pins) {
        const int form = Int(0, 3);
        std::string s;
        if (form == 0) {
            // A state definition that began with a digit would read as a number.
            for (int i = 0; i < pins; ++i) {
                s += i == 0 ? "HLZ-"[Int(0, 3)] : "HL10Z-"[Int(0, 5)];
            }
        } else if (form == 1) {
            s = "0b";
            for (int i = 0; i < pins; ++i) {
                s += "10Z-"[Int(0, 3)];
            }
        } else if (form == 2 && pins % 4 == 0) {
            s = "0x";
            for (int i = 0; i < pins / 4; ++i) {
                s += "0123456789ABCDEFaZ-"[Int(0, 18)];
            }
        } else {
            s = std::to_string(pins == 1 ? Int(0, 1) : Int(0, (1 << pins) - 1));
        }
        return s;
    }

    // A pin list of `n` names: channels, placeholders and forced pins, groups split by ';'.
    std::string Pins(int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            if (i > 0) {
                s += Chance(0.2) ? ";" : ",";
            }
            const int kind = Int(0, 12);
            s += kind == 0   ? "-"
                 : kind == 1 ? "1"
                 : kind == 2 ? "0"
                 : kind == 3 ? "1=" + Channel()
                             : Channel();
        }
        return s;
    }

    std::string Comment() { return Chance(0.15) ? " // " + Words(Int(1, 3)) : ""; }

    std::string Level() { return std::to_string(Int(0, 50) / 10.0).substr(0, 3); }

    void Library(int k) {
        LibraryInfo lib{"LIB" + std::to_string(k), "#L" + std::to_string(k), Int(1, 6), Int(0, 2)};
        Header(0, lib.name, "DIGITAL");
        const std::string label = "T" + std::to_string(k);
        out_ += "DI=" + Value(lib.groupSize) + ",\"" + lib.group + "\"" + Comment() + "\n";
        out_ += "LABEL=\"" + label + "\"\n";
        for (int part = 1; part <= lib.parts; ++part) {
            out_ += "PART=" + std::to_string(part) + "\n";
            for (int i = Int(1, 3); i > 0; --i) {
                switch (Int(0, 3)) {
                case 0:
                    out_ += "DO=" + Value(lib.groupSize) + ",\"" + lib.group + "\"\n";
                    break;
                case 1:
                    out_ += "?FAIL=" + std::to_string(Int(0, 3)) + ",\"" + label + "\"\n";
                    break;
                case 2:
                    out_ += "MD=0.00" + std::to_string(Int(1, 9)) + "\n";
                    break;
                default: {
                    const int n = Int(1, 4);
                    out_ += "DI=" + Value(n) + ",\"" + Pins(n) + "\"" + Comment() + "\n";
                }
                }
            }
        }
        libraries_.push_back(lib);
    }

    void Digital() {
        const int index = index_++;
        Header(index, "U" + std::to_string(index), "DIGITAL", ComponentVariants());
        Directives();
        if (Chance(0.2)) {
            out_ += "C=0.0" + std::to_string(Int(1, 9)) + "\n";
        }
        std::vector<std::string> labels;
        for (int i = Int(0, 3); i > 0; --i) {
            labels.push_back("L" + std::to_string(i));
        }
        std::vector<std::string> groups;
        std::vector<int> groupSizes;
        std::vector<std::string> definedLibraryGroups;
        std::vector<std::string> pendingLabels = labels;
        const int items = Int(1, 24);
        for (int i = 0; i < items; ++i) {
            if (!pendingLabels.empty() && Chance(0.2)) {
                out_ += "LABEL=\"" + pendingLabels.back() + "\"" + Comment() + "\n";
                pendingLabels.pop_back();
                continue;
            }
            switch (Int(0, 17)) {
            case 0:
                out_ += std::string(Pick({"VDI", "VDO", "VDC"})) + "=" + Level() + "," + Level() +
                        Comment() + "\n";
                break;
            case 1:
                out_ += "ILIM=0." + std::to_string(Int(0, 5)) + ",0." + std::to_string(Int(0, 5)) +
                        ",0.0" + std::to_string(Int(0, 9)) + "\n";
                break;
            case 2:
            case 3: {
                const int n = Int(1, 8);
                out_ += std::string(Pick({"DI", "DO"})) + "=" + Value(n) + ",\"" + Pins(n) + "\"" +
                        Comment() + "\n";
                break;
            }
            case 4:
                if (Chance(0.5)) {
                    out_ += "DC=" + std::to_string(Int(0, 1)) + "\n";
                } else {
                    out_ += std::string("DC=") + Pick({"H", "L", "Z", "0b1"}) + ",\"" + Channel() +
                            "\"\n";
                }
                break;
            case 5:
                out_ += "MD=" + std::to_string(Int(0, 999999) / 1e6).substr(0, 8) + "\n";
                break;
            case 6:
                out_ += "// " + Words(Int(1, 3)) + "\n";
                break;
            case 7:
            case 8: {
                const char* key = Pick({"?FAIL", "?PASS", "REPEAT", "GOTO", "?ILIM", "?TO"});
                std::string target = labels.empty() || Chance(0.3)
                                         ? std::string(Pick({">", ">>"})) + "EXIT"
                                         : Pick(labels);
                const std::string k = key;
                if (k == "GOTO" || k == "?ILIM") {
                    out_ += k + "=\"" + target + "\"\n";
                } else if (k == "?TO") {
                    out_ += "?TO=0,\"" + target + "\"\n";
                } else {
                    out_ += k + "=" + std::to_string(Int(0, 5)) + ",\"" + target + "\"" +
                            Comment() + "\n";
                }
                break;
            }
            case 9: {
                const std::string target = labels.empty() ? ">OUT" : Pick(labels);
                out_ += std::string(Pick({"?STEQ", "?STNE"})) + "=" + Value(Int(1, 8)) + ",\"" +
                        target + "\"\n";
                break;
            }
            case 10: {
                const int n = Int(1, 6);
                groups.push_back("#G" + std::to_string(groups.size()));
                groupSizes.push_back(n);
                out_ += "GROUP=\"" + groups.back() + "\",\"" + Pins(n) + "\"" + Comment() + "\n";
                break;
            }
            case 11:
                if (!groups.empty()) {
                    const int g = Int(0, static_cast<int>(groups.size()) - 1);
                    out_ += std::string(Pick({"DI", "DO"})) + "=" + Value(groupSizes[g]) + ",\"" +
                            groups[g] + "\"\n";
                } else {
                    out_ += "STAT=\"" + Pins(Int(1, 5)) + "\"\n";
                }
                break;
            case 12:
                out_ +=
                    "DTERM=" + std::to_string(Int(0, 3)) + "," + std::to_string(Int(0, 3)) + "\n";
                break;
            case 13:
                out_ += "TO=" + std::to_string(Int(1, 5000) / 1000.0).substr(0, 5) + "\n";
                break;
            case 14:
                out_ += std::string(Pick({"VMIR", "VMOR"})) + "=" + Level() + ",-" + Level() +
                        ",\"" + Channel() + "\"\n";
                break;
            case 15:
                out_ += "PART=" + std::to_string(Int(0, 3)) + Comment() + "\n";
                break;
            case 16:
                if (!libraries_.empty()) {
                    const LibraryInfo& lib = Pick(libraries_);
                    out_ += "GROUP=\"" + lib.group + "\",\"" + Pins(lib.groupSize) + "\"\n";
                    out_ += "INSERT=" + std::to_string(Int(0, lib.parts)) + ",\"" + lib.name +
                            "\"" + Comment() + "\n";
                }
                break;
            default:
                if (!groups.empty()) {
                    out_ += "STAT=\"" + Pick(groups) + "\"\n";
                }
                break;
            }
        }
        for (const auto& label : pendingLabels) {
            out_ += "LABEL=\"" + label + "\"\n";
        }
    }

    std::mt19937 rng_;
    std::string out_;
    std::vector<std::string> variants_;
    std::vector<LibraryInfo> libraries_;
    int index_ = 1;
};

} // namespace kora::test

#pragma GCC diagnostic pop
