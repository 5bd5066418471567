// Runs ngspice in batch mode on a netlist with a control block of our own and reads back the
// numbers it prints ("name = value" or "name = re,im") and the tables that wrdata writes. Used by
// the tests that hold the solver against ngspice; they skip when ngspice is not installed.
#pragma once

#include <unistd.h>

#include <cctype>
#include <charconv>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace kora::vbench::testing {

inline std::string VbenchDataDir() {
    return std::string(KORA_CORPUS_DIR) + "/../vbench/data/";
}

inline std::string NgspicePath() {
    for (const char* p : {"/usr/bin/ngspice", "/usr/local/bin/ngspice"}) {
        if (::access(p, X_OK) == 0) {
            return p;
        }
    }
    return {};
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

struct NgspiceOutput {
    bool ran = false;
    std::string log;
    std::map<std::string, std::complex<double>> values; // printed scalars and phasors
    std::vector<std::vector<double>> table;             // wrdata rows, when asked for
};

// Runs `netlist` (its .end removed) with the control lines; numbers print with 15 digits and the
// tolerances are tightened far below the defaults so that ngspice's own error does not count.
// With dataVector set, wrdata writes that vector (and its scale) to a file that is read back.
inline NgspiceOutput RunNgspice(const std::string& netlist, const std::vector<std::string>& control,
                                const std::string& dataVectors = "") {
    NgspiceOutput out;
    namespace fs = std::filesystem;
    static int counter = 0;
    fs::path dir = fs::temp_directory_path() /
                   ("kora_ngspice_" + std::to_string(::getpid()) + "_" + std::to_string(++counter));
    fs::create_directories(dir);
    std::ostringstream deck;
    std::istringstream in(netlist);
    std::string line;
    while (std::getline(in, line)) {
        std::string card;
        for (char c : line) {
            if (!std::isspace(static_cast<unsigned char>(c))) {
                card += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            }
        }
        if (card == ".end") {
            break;
        }
        deck << line << "\n";
    }
    deck << ".control\nset numdgt=15\noption reltol=1e-9 abstol=1e-15 vntol=1e-12 chgtol=1e-18\n";
    for (const auto& c : control) {
        deck << c << "\n";
    }
    if (!dataVectors.empty()) {
        deck << "wrdata " << (dir / "data.txt").string() << " " << dataVectors << "\n";
    }
    deck << "quit\n.endc\n.end\n";
    std::ofstream(dir / "deck.cir") << deck.str();
    const std::string cmd = NgspicePath() + " -b " + (dir / "deck.cir").string() + " > " +
                            (dir / "log.txt").string() + " 2>&1";
    out.ran = std::system(cmd.c_str()) == 0;
    out.log = ReadText((dir / "log.txt").string());
    std::istringstream log(out.log);
    while (std::getline(log, line)) {
        auto eq = line.find(" = ");
        if (eq == std::string::npos || line.find(' ') < eq) {
            continue;
        }
        std::string name = line.substr(0, eq);
        std::string value = line.substr(eq + 3);
        double re = 0, im = 0;
        const char* first = value.data();
        const char* last = value.data() + value.size();
        auto [end, ec] = std::from_chars(first, last, re);
        if (ec != std::errc() || end == first) {
            continue;
        }
        if (end != last && *end == ',') {
            std::from_chars(end + 1, last, im);
        }
        out.values[name] = {re, im};
    }
    if (!dataVectors.empty()) {
        std::istringstream data(ReadText((dir / "data.txt").string()));
        while (std::getline(data, line)) {
            std::vector<double> v;
            const char* p = line.data();
            const char* last = line.data() + line.size();
            while (p < last) {
                while (p < last && std::isspace(static_cast<unsigned char>(*p))) {
                    ++p;
                }
                double d = 0;
                auto [end, ec] = std::from_chars(p, last, d);
                if (ec != std::errc() || end == p) {
                    break;
                }
                v.push_back(d);
                p = end;
            }
            if (!v.empty()) {
                out.table.push_back(std::move(v));
            }
        }
    }
    fs::remove_all(dir);
    return out;
}

} // namespace kora::vbench::testing
