#include <vbench/netlist/netlist_parser.h>
#include <vbench/netlist/spice_number.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

namespace kora::vbench {

namespace {

namespace fs = std::filesystem;

constexpr int kMaxIncludeDepth = 16;
constexpr int kMaxSubcktDepth = 32;

struct Token {
    std::string text; // as written
    std::string folded;
    int line = 0;
};

struct Card {
    std::vector<Token> tokens;
    SourceLocation where;
};

struct Subckt {
    std::string name;
    std::vector<std::string> ports;
    std::vector<Card> cards;
    SourceLocation where;
};

std::string Fold(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return out;
}

// Cuts the end-of-line comment: ';' anywhere, '$' at the start or after white space.
std::string_view StripComment(std::string_view line) {
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == ';') {
            return line.substr(0, i);
        }
        if (line[i] == '$' && (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1])))) {
            return line.substr(0, i);
        }
    }
    return line;
}

void Tokenize(std::string_view text, int line, std::vector<Token>& out) {
    std::size_t i = 0;
    auto push = [&](std::string_view t) { out.push_back({std::string(t), Fold(t), line}); };
    while (i < text.size()) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c)) || c == ',') {
            ++i;
        } else if (c == '(' || c == ')' || c == '=') {
            push(text.substr(i, 1));
            ++i;
        } else if (c == '"') {
            std::size_t end = text.find('"', i + 1);
            if (end == std::string_view::npos) {
                end = text.size();
            }
            push(text.substr(i + 1, end - i - 1));
            i = end + 1;
        } else {
            std::size_t start = i;
            while (i < text.size() && !std::isspace(static_cast<unsigned char>(text[i])) &&
                   text[i] != ',' && text[i] != '(' && text[i] != ')' && text[i] != '=') {
                ++i;
            }
            push(text.substr(start, i - start));
        }
    }
}

class Parser {
  public:
    Netlist run(std::string_view text, const std::string& fileName) {
        readText(text, fileName, true, 0);
        collect();
        netlist_.elements.reserve(topCards_.size());
        expand(topCards_, "", {}, 0);
        return std::move(netlist_);
    }

  private:
    // ---- reading cards -----------------------------------------------------------------------

    void readText(std::string_view text, const std::string& fileName, bool hasTitle, int depth) {
        std::istringstream in{std::string(text)};
        std::string raw;
        int lineNo = 0;
        bool inControl = false;
        while (std::getline(in, raw)) {
            ++lineNo;
            if (!raw.empty() && raw.back() == '\r') {
                raw.pop_back();
            }
            if (hasTitle && lineNo == 1) {
                netlist_.title = raw;
                continue;
            }
            std::string_view line = raw;
            std::size_t first = line.find_first_not_of(" \t");
            if (first == std::string_view::npos) {
                continue;
            }
            line.remove_prefix(first);
            if (line[0] == '*') {
                continue;
            }
            line = StripComment(line);
            SourceLocation where{fileName, lineNo};
            std::string head = Fold(line.substr(0, line.find_first_of(" \t")));
            if (inControl) {
                inControl = head != ".endc";
                continue;
            }
            if (head == ".control") {
                inControl = true;
                continue;
            }
            if (head == ".end") {
                return;
            }
            if (line[0] == '+') {
                if (cards_.empty()) {
                    throw NetlistError(where, "continuation line without a card before it");
                }
                Tokenize(line.substr(1), lineNo, cards_.back().tokens);
                continue;
            }
            Card card;
            card.where = where;
            Tokenize(line, lineNo, card.tokens);
            if (card.tokens.empty()) {
                continue;
            }
            if (card.tokens[0].folded == ".include" || card.tokens[0].folded == ".inc") {
                include(card, fileName, depth);
                continue;
            }
            cards_.push_back(std::move(card));
        }
        if (inControl) {
            throw NetlistError({fileName, lineNo}, ".control block without .endc");
        }
    }

    void include(const Card& card, const std::string& fromFile, int depth) {
        if (card.tokens.size() != 2) {
            throw NetlistError(card.where, ".include needs exactly one file name");
        }
        if (depth >= kMaxIncludeDepth) {
            throw NetlistError(card.where, ".include nested too deeply");
        }
        fs::path path = card.tokens[1].text;
        if (path.is_relative() && !fromFile.empty()) {
            path = fs::path(fromFile).parent_path() / path;
        }
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            throw NetlistError(card.where, "cannot read included file '" + path.string() + "'");
        }
        std::ostringstream text;
        text << in.rdbuf();
        readText(text.str(), path.string(), false, depth + 1);
    }

    // ---- models and subcircuit definitions ---------------------------------------------------

    void collect() {
        Subckt* open = nullptr;
        for (auto& card : cards_) {
            const std::string& head = card.tokens[0].folded;
            if (head == ".subckt") {
                if (open) {
                    throw NetlistError(card.where, "nested .subckt definitions are not supported");
                }
                if (card.tokens.size() < 2) {
                    throw NetlistError(card.where, ".subckt needs a name");
                }
                Subckt s;
                s.name = card.tokens[1].folded;
                s.where = card.where;
                for (std::size_t i = 2; i < card.tokens.size(); ++i) {
                    const Token& t = card.tokens[i];
                    if (t.folded == "=" || t.folded == "params:") {
                        throw NetlistError(card.where, "subcircuit parameters are not supported");
                    }
                    s.ports.push_back(t.folded);
                }
                if (subckts_.count(s.name)) {
                    throw NetlistError(card.where, "subcircuit '" + s.name + "' defined twice");
                }
                open = &subckts_[s.name];
                *open = std::move(s);
            } else if (head == ".ends") {
                if (!open) {
                    throw NetlistError(card.where, ".ends without .subckt");
                }
                open = nullptr;
            } else if (head == ".model") {
                addModel(card);
            } else if (open) {
                open->cards.push_back(std::move(card));
            } else {
                topCards_.push_back(std::move(card));
            }
        }
        if (open) {
            throw NetlistError(open->where, ".subckt '" + open->name + "' without .ends");
        }
    }

    void addModel(const Card& card) {
        const auto& t = card.tokens;
        if (t.size() < 3) {
            throw NetlistError(card.where, ".model needs a name and a type");
        }
        Model m;
        m.name = t[1].folded;
        m.where = card.where;
        static const std::map<std::string, ModelKind> kinds = {
            {"d", ModelKind::Diode},   {"npn", ModelKind::Npn},   {"pnp", ModelKind::Pnp},
            {"nmos", ModelKind::Nmos}, {"pmos", ModelKind::Pmos}, {"sw", ModelKind::Switch}};
        auto kind = kinds.find(t[2].folded);
        if (kind == kinds.end()) {
            throw NetlistError(card.where, "model type '" + t[2].text +
                                               "' is not supported (D, NPN, PNP, NMOS, PMOS, SW)");
        }
        m.kind = kind->second;
        std::size_t i = 3;
        bool paren = i < t.size() && t[i].folded == "(";
        if (paren) {
            ++i;
        }
        std::string allowed = std::string(",") + ModelParameterNames(m.kind) + ",";
        while (i < t.size()) {
            if (t[i].folded == ")") {
                if (!paren || i + 1 != t.size()) {
                    throw NetlistError(lineOf(card, t[i]), "unbalanced ')' in .model");
                }
                paren = false;
                ++i;
                continue;
            }
            if (i + 2 >= t.size() || t[i + 1].folded != "=") {
                throw NetlistError(lineOf(card, t[i]),
                                   "expected NAME=VALUE at '" + t[i].text + "'");
            }
            std::string key = Upper(t[i].text);
            if (allowed.find("," + key + ",") == std::string::npos) {
                throw NetlistError(lineOf(card, t[i]), "model '" + m.name + "': parameter '" + key +
                                                           "' is not supported (supported: " +
                                                           ModelParameterNames(m.kind) + ")");
            }
            auto value = ParseSpiceNumber(t[i + 2].text);
            if (!value) {
                throw NetlistError(lineOf(card, t[i + 2]), "model '" + m.name + "': '" +
                                                               t[i + 2].text + "' is not a number");
            }
            if (key == "CJ0") {
                key = "CJO";
            }
            m.params[key] = *value;
            i += 3;
        }
        if (paren) {
            throw NetlistError(card.where, "missing ')' in .model");
        }
        if ((m.kind == ModelKind::Nmos || m.kind == ModelKind::Pmos) && m.get("LEVEL", 1) != 1) {
            throw NetlistError(card.where,
                               "model '" + m.name + "': only MOSFET level 1 is supported");
        }
        if (auto it = netlist_.models.find(m.name); it != netlist_.models.end()) {
            if (it->second.kind != m.kind || it->second.params != m.params) {
                throw NetlistError(card.where, "model '" + m.name + "' defined twice, differently");
            }
            return;
        }
        netlist_.models[m.name] = std::move(m);
    }

    static SourceLocation lineOf(const Card& card, const Token& t) {
        return {card.where.file, t.line};
    }

    // ---- elements ----------------------------------------------------------------------------

    void expand(const std::vector<Card>& cards, const std::string& prefix,
                const std::map<std::string, std::string>& portMap, int depth) {
        for (const auto& card : cards) {
            const Token& first = card.tokens[0];
            if (first.folded[0] == '.') {
                dotCard(card);
                continue;
            }
            auto mapNode = [&](const Token& t) {
                if (IsGroundName(t.folded)) {
                    return std::string("0");
                }
                if (auto it = portMap.find(t.folded); it != portMap.end()) {
                    return it->second;
                }
                return prefix + t.folded;
            };
            if (first.folded[0] == 'x') {
                instance(card, prefix, mapNode, depth);
                continue;
            }
            Element e = element(card);
            e.name = prefix + e.name;
            for (auto& n : e.nodes) {
                n = mapNode(Token{n, n, 0});
            }
            if (!names_.insert(e.name).second) {
                throw NetlistError(card.where, "element '" + e.name + "' defined twice");
            }
            netlist_.elements.push_back(std::move(e));
        }
    }

    template <typename MapNode>
    void instance(const Card& card, const std::string& prefix, MapNode&& mapNode, int depth) {
        const auto& t = card.tokens;
        if (t.size() < 2) {
            throw NetlistError(card.where, "subcircuit instance needs a subcircuit name");
        }
        for (const auto& tok : t) {
            if (tok.folded == "=" || tok.folded == "params:") {
                throw NetlistError(lineOf(card, tok), "subcircuit parameters are not supported");
            }
        }
        const std::string& subName = t.back().folded;
        auto it = subckts_.find(subName);
        if (it == subckts_.end()) {
            throw NetlistError(card.where, "subcircuit '" + t.back().text + "' is not defined");
        }
        const Subckt& sub = it->second;
        if (t.size() - 2 != sub.ports.size()) {
            throw NetlistError(card.where, "subcircuit '" + sub.name + "' has " +
                                               std::to_string(sub.ports.size()) + " ports, '" +
                                               t[0].text + "' connects " +
                                               std::to_string(t.size() - 2));
        }
        if (depth >= kMaxSubcktDepth) {
            throw NetlistError(card.where, "subcircuits nested too deeply (recursive definition?)");
        }
        std::map<std::string, std::string> ports;
        for (std::size_t i = 0; i < sub.ports.size(); ++i) {
            ports[sub.ports[i]] = mapNode(t[i + 1]);
        }
        expand(sub.cards, prefix + t[0].folded + ".", ports, depth + 1);
    }

    void dotCard(const Card& card) {
        static const std::set<std::string> ignored = {
            ".op",   ".ac",    ".tran",  ".dc",      ".print",   ".plot",
            ".save", ".probe", ".meas",  ".measure", ".options", ".option",
            ".opt",  ".width", ".title", ".four",    ".tf"};
        const std::string& head = card.tokens[0].folded;
        if (ignored.count(head)) {
            return;
        }
        if (head == ".temp") {
            if (card.tokens.size() == 2 && ParseSpiceNumber(card.tokens[1].text) == 27.0) {
                return;
            }
            throw NetlistError(card.where,
                               "only the nominal temperature of 27 degrees is supported");
        }
        throw NetlistError(card.where, "'" + card.tokens[0].text + "' is not supported");
    }

    double number(const Card& card, const Token& t, const std::string& what) {
        auto v = ParseSpiceNumber(t.text);
        if (!v) {
            throw NetlistError(lineOf(card, t), what + ": '" + t.text + "' is not a number");
        }
        return *v;
    }

    void needTokens(const Card& card, std::size_t count, const char* form) {
        if (card.tokens.size() < count) {
            throw NetlistError(card.where, "'" + card.tokens[0].text + "' needs the form " + form);
        }
    }

    [[noreturn]] void unexpected(const Card& card, const Token& t) {
        throw NetlistError(lineOf(card, t),
                           "unexpected '" + t.text + "' in '" + card.tokens[0].text + "'");
    }

    const Model& modelOf(const Card& card, const Token& t, std::initializer_list<ModelKind> kinds,
                         const char* what) {
        const Model* m = netlist_.findModel(t.folded);
        if (!m) {
            throw NetlistError(lineOf(card, t), "model '" + t.text + "' is not defined");
        }
        if (std::find(kinds.begin(), kinds.end(), m->kind) == kinds.end()) {
            throw NetlistError(lineOf(card, t),
                               "model '" + t.text + "' is not a " + what + " model");
        }
        return *m;
    }

    Element element(const Card& card) {
        const auto& t = card.tokens;
        Element e;
        e.name = t[0].folded;
        e.where = card.where;
        switch (t[0].folded[0]) {
        case 'r':
        case 'c':
        case 'l': {
            const char kind = t[0].folded[0];
            e.kind = kind == 'r'   ? ElementKind::Resistor
                     : kind == 'c' ? ElementKind::Capacitor
                                   : ElementKind::Inductor;
            needTokens(card, 4, "NAME N+ N- VALUE");
            e.nodes = {t[1].folded, t[2].folded};
            e.value = number(card, t[3], e.name);
            if (t.size() > 4) {
                unexpected(card, t[4]);
            }
            if (kind == 'r' && e.value == 0) {
                throw NetlistError(card.where, "resistor '" + e.name + "' of 0 ohm");
            }
            if (e.value < 0 && kind != 'r') {
                throw NetlistError(card.where, "'" + e.name + "' has a negative value");
            }
            return e;
        }
        case 'd': {
            e.kind = ElementKind::Diode;
            needTokens(card, 4, "NAME ANODE CATHODE MODEL [AREA] [OFF]");
            e.nodes = {t[1].folded, t[2].folded};
            e.model = modelOf(card, t[3], {ModelKind::Diode}, "diode").name;
            tail(card, 4, e, true);
            return e;
        }
        case 'q': {
            e.kind = ElementKind::Bjt;
            needTokens(card, 5, "NAME C B E [S] MODEL [AREA]");
            std::size_t modelAt = 4;
            if (t.size() >= 6 && netlist_.findModel(t[5].folded) &&
                !netlist_.findModel(t[4].folded)) {
                modelAt = 5; // with a substrate net, which this model leaves unconnected
            }
            e.nodes = {t[1].folded, t[2].folded, t[3].folded};
            e.model = modelOf(card, t[modelAt], {ModelKind::Npn, ModelKind::Pnp}, "bipolar").name;
            tail(card, modelAt + 1, e, true);
            return e;
        }
        case 'm': {
            e.kind = ElementKind::Mosfet;
            needTokens(card, 6, "NAME D G S B MODEL [W=w] [L=l]");
            e.nodes = {t[1].folded, t[2].folded, t[3].folded, t[4].folded};
            e.model = modelOf(card, t[5], {ModelKind::Nmos, ModelKind::Pmos}, "MOSFET").name;
            for (std::size_t i = 6; i < t.size(); i += 3) {
                if (i + 2 >= t.size() || t[i + 1].folded != "=" ||
                    (t[i].folded != "w" && t[i].folded != "l")) {
                    unexpected(card, t[i]);
                }
                double v = number(card, t[i + 2], e.name);
                if (v <= 0) {
                    throw NetlistError(lineOf(card, t[i + 2]),
                                       e.name + ": W and L must be positive");
                }
                (t[i].folded == "w" ? e.w : e.l) = v;
            }
            return e;
        }
        case 's': {
            e.kind = ElementKind::Switch;
            needTokens(card, 6, "NAME N+ N- NC+ NC- MODEL [ON|OFF]");
            e.nodes = {t[1].folded, t[2].folded, t[3].folded, t[4].folded};
            e.model = modelOf(card, t[5], {ModelKind::Switch}, "switch").name;
            if (t.size() > 7) {
                unexpected(card, t[7]);
            }
            if (t.size() == 7) {
                if (t[6].folded != "on" && t[6].folded != "off") {
                    unexpected(card, t[6]);
                }
                e.initialOn = t[6].folded == "on";
            }
            return e;
        }
        case 'v':
        case 'i': {
            e.kind = t[0].folded[0] == 'v' ? ElementKind::VSource : ElementKind::ISource;
            needTokens(card, 3, "NAME N+ N- [[DC] VALUE] [AC MAG [PHASE]] [PULSE(...)|SIN(...)]");
            e.nodes = {t[1].folded, t[2].folded};
            sourceSettings(card, 3, e);
            return e;
        }
        case 'g': {
            e.kind = ElementKind::Vccs;
            needTokens(card, 6, "NAME N+ N- NC+ NC- GM");
            e.nodes = {t[1].folded, t[2].folded, t[3].folded, t[4].folded};
            e.value = number(card, t[5], e.name);
            if (t.size() > 6) {
                unexpected(card, t[6]);
            }
            return e;
        }
        case 'e':
        case 'f':
        case 'h':
        case 'b':
            throw NetlistError(card.where,
                               "'" + t[0].text + "': controlled sources are not supported");
        default:
            throw NetlistError(card.where, "'" + t[0].text + "': element type '" +
                                               std::string(1, t[0].text[0]) + "' is not supported");
        }
    }

    // [area] [OFF] after a diode or transistor model.
    void tail(const Card& card, std::size_t i, Element& e, bool allowArea) {
        const auto& t = card.tokens;
        if (allowArea && i < t.size() && ParseSpiceNumber(t[i].text)) {
            e.area = number(card, t[i], e.name);
            if (e.area <= 0) {
                throw NetlistError(lineOf(card, t[i]), e.name + ": area must be positive");
            }
            ++i;
        }
        if (i < t.size() && t[i].folded == "off") {
            e.off = true;
            ++i;
        }
        if (i < t.size()) {
            unexpected(card, t[i]);
        }
    }

    void sourceSettings(const Card& card, std::size_t i, Element& e) {
        const auto& t = card.tokens;
        SourceSettings& s = e.source;
        while (i < t.size()) {
            const std::string& w = t[i].folded;
            if (w == "dc") {
                if (i + 1 >= t.size()) {
                    throw NetlistError(lineOf(card, t[i]), e.name + ": DC needs a value");
                }
                s.dc = number(card, t[i + 1], e.name);
                s.dcGiven = true;
                i += 2;
            } else if (w == "ac") {
                ++i;
                s.acMagnitude = 1;
                if (i < t.size() && ParseSpiceNumber(t[i].text)) {
                    s.acMagnitude = number(card, t[i++], e.name);
                    if (i < t.size() && ParseSpiceNumber(t[i].text)) {
                        s.acPhaseDegrees = number(card, t[i++], e.name);
                    }
                }
            } else if (w == "pulse" || w == "sin") {
                if (s.wave != Waveform::None) {
                    throw NetlistError(lineOf(card, t[i]),
                                       e.name + ": more than one time function");
                }
                s.wave = w == "pulse" ? Waveform::Pulse : Waveform::Sin;
                ++i;
                bool paren = i < t.size() && t[i].folded == "(";
                if (paren) {
                    ++i;
                }
                while (i < t.size() && t[i].folded != ")" && ParseSpiceNumber(t[i].text)) {
                    s.waveParams.push_back(number(card, t[i++], e.name));
                }
                if (paren) {
                    if (i >= t.size() || t[i].folded != ")") {
                        throw NetlistError(card.where, e.name + ": missing ')'");
                    }
                    ++i;
                }
                const std::size_t maxParams = s.wave == Waveform::Pulse ? 7 : 6;
                if (s.waveParams.size() < 2 || s.waveParams.size() > maxParams) {
                    throw NetlistError(card.where, e.name + ": " + Upper(w) + " takes 2 to " +
                                                       std::to_string(maxParams) + " values");
                }
            } else if (ParseSpiceNumber(t[i].text) && !s.dcGiven && i == 3) {
                s.dc = number(card, t[i], e.name);
                s.dcGiven = true;
                ++i;
            } else {
                unexpected(card, t[i]);
            }
        }
    }

    Netlist netlist_;
    std::vector<Card> cards_;
    std::vector<Card> topCards_;
    std::map<std::string, Subckt> subckts_;
    std::set<std::string> names_;
};

} // namespace

Netlist ParseNetlist(std::string_view text, const std::string& fileName) {
    return Parser().run(text, fileName);
}

Netlist LoadNetlist(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw NetlistError({path, 0}, "cannot read the netlist file");
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseNetlist(text.str(), path);
}

} // namespace kora::vbench
