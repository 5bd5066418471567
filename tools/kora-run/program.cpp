#include "program.h"

#include "yaml_tree.h"

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <locale.h>
#include <set>
#include <sstream>
#include <unordered_map>

namespace kora::run {

namespace {

namespace fs = std::filesystem;

constexpr const char* kReservedStepKeys[] = {"method", "name", "comment", "repeat", "attributes"};

// Program errors carry file and line; the first one ends the load.
struct ProgramError {
    int line;
    std::string text;
};

[[noreturn]] void Fail(const yaml::Node& node, const std::string& text) {
    throw ProgramError{node.Mark().line >= 0 ? node.Mark().line + 1 : 0, text};
}

locale_t CLocale() {
    static locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

bool ParseLong(const std::string& s, long& out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long v = strtol_l(s.c_str(), &end, 0, CLocale());
    if (errno != 0 || *end != 0) {
        return false;
    }
    out = v;
    return true;
}

bool ParseReal(const std::string& s, double& out) {
    if (s == ".nan" || s == ".NaN" || s == "nan" || s == "NaN") {
        out = NAN;
        return true;
    }
    if (s == ".inf" || s == "inf" || s == "+.inf") {
        out = INFINITY;
        return true;
    }
    if (s == "-.inf" || s == "-inf") {
        out = -INFINITY;
        return true;
    }
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    double v = strtod_l(s.c_str(), &end, CLocale());
    if (*end != 0) {
        return false;
    }
    out = v;
    return true;
}

class Loader {
  public:
    explicit Loader(Program& p) : p_(p) {}

    void Load(const yaml::Node& root) {
        if (!root.IsMap()) {
            Fail(root, "a program is a mapping with 'program' and 'steps'");
        }
        static const std::set<std::string> known = {"program",  "uut",       "station", "executive",
                                                    "settings", "variables", "steps"};
        for (const auto& kv : root) {
            if (!known.count(kv.first.as<std::string>())) {
                Fail(kv.first, "unknown program key '" + kv.first.as<std::string>() +
                                   "' (known: program, uut, station, executive, settings, "
                                   "variables, steps)");
            }
        }
        p_.name = root["program"] ? Scalar(root["program"], "program")
                                  : fs::path(p_.file).stem().string();
        p_.settings["PROGRAM_DIR"] = p_.folder;
        p_.settings["PROGRAM_FILE"] = p_.file;
        p_.settings["PROGRAM_NAME"] = p_.name;
        if (auto s = root["settings"]) {
            if (!s.IsMap()) {
                Fail(s, "'settings' is a mapping of names to texts");
            }
            for (const auto& kv : s) {
                p_.settings[kv.first.as<std::string>()] =
                    Expand(kv.second, Scalar(kv.second, "setting"));
            }
        }
        if (auto u = root["uut"]) {
            if (!u.IsMap()) {
                Fail(u, "'uut' is a mapping with 'serial' and 'part'");
            }
            for (const auto& kv : u) {
                const auto key = kv.first.as<std::string>();
                if (key == "serial") {
                    p_.uutSerial = Expand(kv.second, Scalar(kv.second, "serial"));
                } else if (key == "part") {
                    p_.uutPart = Expand(kv.second, Scalar(kv.second, "part"));
                } else {
                    Fail(kv.first, "unknown UUT key '" + key + "' (known: serial, part)");
                }
            }
        }
        if (auto st = root["station"]) {
            p_.station = Expand(st, Scalar(st, "station"));
        }
        if (auto ex = root["executive"]) {
            try {
                p_.executive = LoadExecutiveDecl(ex);
            } catch (const DeclError& e) {
                throw ProgramError{e.line, e.text};
            }
        }
        if (auto vars = root["variables"]) {
            if (!vars.IsMap()) {
                Fail(vars, "'variables' is a mapping of names to variables");
            }
            for (const auto& kv : vars) {
                LoadVariable(kv.first, kv.second);
            }
        }
        auto steps = root["steps"];
        if (!steps || !steps.IsSequence()) {
            Fail(steps ? steps : root, "a program needs a list of 'steps'");
        }
        for (const auto& s : steps) {
            LoadStep(s);
        }
    }

  private:
    std::string Scalar(const yaml::Node& n, const char* what) {
        if (!n.IsScalar()) {
            Fail(n, std::string("'") + what + "' must be a single value");
        }
        return n.Scalar();
    }

    // ${NAME}: a program setting (PROGRAM_DIR, PROGRAM_NAME, PROGRAM_FILE, 'settings') or an
    // environment variable; anything else is an error, never an empty text.
    std::string Expand(const yaml::Node& n, const std::string& text) {
        if (text.find("${") == std::string::npos) {
            return text;
        }
        std::string out;
        for (std::size_t i = 0; i < text.size();) {
            if (text.compare(i, 2, "${") == 0) {
                auto close = text.find('}', i + 2);
                if (close == std::string::npos) {
                    Fail(n, "unterminated '${' in '" + text + "'");
                }
                std::string name = text.substr(i + 2, close - i - 2);
                if (auto it = p_.settings.find(name); it != p_.settings.end()) {
                    out += it->second;
                } else if (const char* env = std::getenv(name.c_str())) {
                    out += env;
                } else {
                    Fail(n, "'${" + name +
                                "}' is neither a program setting nor an environment "
                                "variable");
                }
                i = close + 1;
            } else {
                out.push_back(text[i++]);
            }
        }
        return out;
    }

    void LoadVariable(const yaml::Node& key, const yaml::Node& def) {
        auto var = std::make_unique<Variable>();
        var->name = key.as<std::string>();
        var->line = key.Mark().line + 1;
        if (p_.variables.count(var->name)) {
            Fail(key, "variable '" + var->name + "' is defined twice");
        }
        yaml::Node value(yaml::NodeType::Undefined); // stays undefined without a 'value'
        std::string type;
        long size = -1;
        if (def.IsMap()) {
            for (const auto& kv : def) {
                const auto k = kv.first.as<std::string>();
                if (k != "type" && k != "size" && k != "value") {
                    Fail(kv.first, "unknown variable key '" + k + "' (known: type, size, value)");
                }
            }
            if (!def["type"]) {
                Fail(def, "variable '" + var->name +
                              "' needs a 'type' (int, real, text, reals, ints, buffer)");
            }
            type = Scalar(def["type"], "type");
            if (def["size"] && !ParseLong(Scalar(def["size"], "size"), size)) {
                Fail(def["size"], "the size of '" + var->name + "' must be an integer");
            }
            if (def["value"]) {
                value.reset(def["value"]);
            }
        } else if (def.IsScalar()) {
            long l;
            double d;
            value.reset(def);
            type = ParseLong(def.Scalar(), l)   ? "int"
                   : ParseReal(def.Scalar(), d) ? "real"
                                                : "text";
        } else {
            Fail(def, "variable '" + var->name + "' must be a value or a mapping with a 'type'");
        }
        static const std::pair<const char*, VarType> kTypes[] = {
            {"int", VarType::Int},     {"real", VarType::Real}, {"text", VarType::Text},
            {"reals", VarType::Reals}, {"ints", VarType::Ints}, {"buffer", VarType::Buffer}};
        bool found = false;
        for (const auto& [n, t] : kTypes) {
            if (type == n) {
                var->type = t;
                found = true;
            }
        }
        if (!found) {
            Fail(def,
                 "unknown variable type '" + type + "' (int, real, text, reals, ints, buffer)");
        }
        const bool sized = var->type == VarType::Reals || var->type == VarType::Ints ||
                           var->type == VarType::Buffer;
        if (sized && size <= 0) {
            Fail(def, "variable '" + var->name + "' of type " + type + " needs a positive 'size'");
        }
        if (!sized && size >= 0) {
            Fail(def["size"], "variable '" + var->name + "' of type " + type + " takes no size");
        }
        if (size > 100000000) {
            Fail(def["size"], "variable '" + var->name + "' is too large");
        }
        switch (var->type) {
        case VarType::Int:
            if (value && !ParseLong(Scalar(value, "value"), var->intValue)) {
                Fail(value, "'" + value.Scalar() + "' is not an integer");
            }
            break;
        case VarType::Real:
            var->realValue = 0;
            if (value && !ParseReal(Scalar(value, "value"), var->realValue)) {
                Fail(value, "'" + value.Scalar() + "' is not a number");
            }
            break;
        case VarType::Text:
            if (value) {
                var->text = Expand(value, Scalar(value, "value"));
            }
            break;
        case VarType::Reals:
        case VarType::Ints: {
            var->reals.assign(var->type == VarType::Reals ? size : 0, 0.0);
            var->ints.assign(var->type == VarType::Ints ? size : 0, 0);
            if (!value) {
                break;
            }
            if (!value.IsSequence()) {
                Fail(value, "the value of '" + var->name + "' is a list");
            }
            if (static_cast<long>(value.size()) > size) {
                Fail(value, "'" + var->name + "' holds " + std::to_string(size) +
                                " values, the list has " + std::to_string(value.size()));
            }
            std::size_t i = 0;
            for (const auto& item : value) {
                const auto s = Scalar(item, "value");
                if (var->type == VarType::Reals ? !ParseReal(s, var->reals[i])
                                                : !ParseLong(s, var->ints[i])) {
                    Fail(item, "'" + s + "' is not " +
                                   (var->type == VarType::Reals ? "a number" : "an integer"));
                }
                ++i;
            }
            break;
        }
        case VarType::Buffer: {
            var->buffer.assign(static_cast<std::size_t>(size), 0);
            if (value) {
                std::string t = Expand(value, Scalar(value, "value"));
                if (t.size() >= var->buffer.size()) {
                    Fail(value, "the text does not fit buffer '" + var->name + "'");
                }
                std::memcpy(var->buffer.data(), t.data(), t.size());
            }
            break;
        }
        }
        p_.variables[var->name] = std::move(var);
    }

    Variable* VariableOf(const yaml::Node& n, const std::string& text) {
        auto it = p_.variables.find(text.substr(1));
        if (it == p_.variables.end()) {
            Fail(n, "unknown variable '" + text + "'");
        }
        return it->second.get();
    }

    static bool Accepts(ArgType arg, VarType var) {
        switch (arg) {
        case ArgType::STR:
            return var == VarType::Text || var == VarType::Buffer;
        case ArgType::BUF:
            return var == VarType::Buffer;
        case ArgType::LONG:
        case ArgType::LONGP:
            return var == VarType::Int;
        case ArgType::DOUBLE:
        case ArgType::DOUBLEP:
            return var == VarType::Real;
        case ArgType::DARRAY:
            return var == VarType::Reals;
        case ArgType::LARRAY:
            return var == VarType::Ints;
        case ArgType::PTR:
            return var == VarType::Reals || var == VarType::Ints || var == VarType::Buffer;
        }
        return false;
    }

    static const char* ArgTypeText(ArgType t) {
        switch (t) {
        case ArgType::STR:
            return "a text";
        case ArgType::BUF:
            return "a buffer variable";
        case ArgType::LONG:
            return "an integer";
        case ArgType::LONGP:
            return "an int variable";
        case ArgType::DOUBLE:
            return "a number";
        case ArgType::DOUBLEP:
            return "a real variable";
        case ArgType::DARRAY:
            return "a reals variable";
        case ArgType::LARRAY:
            return "an ints variable";
        case ArgType::PTR:
            return "an array or buffer variable";
        }
        return "?";
    }

    void LoadArg(ArgBinding& a, const yaml::Node& n) {
        const ArgInfo& info = *a.info;
        a.given = true;
        if (n.IsNull()) {
            if (info.type == ArgType::LONG || info.type == ArgType::DOUBLE) {
                Fail(n, std::string("'") + info.name + "' needs " + ArgTypeText(info.type));
            }
            a.null = true;
            return;
        }
        if (!n.IsScalar()) {
            Fail(n, std::string("'") + info.name + "' needs " + ArgTypeText(info.type) +
                        ", not a list or mapping");
        }
        const std::string text = n.Scalar();
        if (text.size() > 1 && text[0] == '$' && text[1] != '{') {
            a.variable = VariableOf(n, text);
            if (!Accepts(info.type, a.variable->type)) {
                Fail(n, std::string("'") + info.name + "' needs " + ArgTypeText(info.type) + "; '" +
                            text + "' is of type " + VarTypeName(a.variable->type));
            }
            return;
        }
        switch (info.type) {
        case ArgType::STR:
            a.literal = Expand(n, text);
            break;
        case ArgType::LONG:
            if (!ParseLong(Expand(n, text), a.intValue)) {
                Fail(n, std::string("'") + info.name + "' needs an integer, not '" + text + "'");
            }
            break;
        case ArgType::DOUBLE:
            if (!ParseReal(Expand(n, text), a.realValue)) {
                Fail(n, std::string("'") + info.name + "' needs a number, not '" + text + "'");
            }
            break;
        default:
            Fail(n, std::string("'") + info.name + "' needs " + ArgTypeText(info.type) +
                        " ($name), not a literal");
        }
    }

    // An array or buffer passed with a count larger than it holds would be overrun by the
    // method: refuse the program instead.
    void CheckSizes(const ProgramStep& step, const yaml::Node& node) {
        for (const auto& a : step.args) {
            const auto t = a.info->type;
            if (!a.variable || (t != ArgType::DARRAY && t != ArgType::LARRAY && t != ArgType::BUF &&
                                t != ArgType::PTR)) {
                continue;
            }
            for (const auto& c : step.args) {
                std::string n = c.info->name;
                bool isCount =
                    c.info->type == ArgType::LONG &&
                    (n.find("Count") != std::string::npos || n.find("Size") != std::string::npos ||
                     n.find("Length") != std::string::npos);
                if (!isCount || !c.given) {
                    continue;
                }
                long count = c.variable ? c.variable->intValue : c.intValue;
                if (count > static_cast<long>(a.variable->size())) {
                    Fail(node, std::string("'") + a.info->name + "' ($" + a.variable->name +
                                   ") holds " + std::to_string(a.variable->size()) + " but '" + n +
                                   "' is " + std::to_string(count));
                }
            }
        }
    }

    void LoadStep(const yaml::Node& s) {
        if (!s.IsMap() || !s["method"]) {
            Fail(s, "a step is a mapping with a 'method' and its arguments");
        }
        ProgramStep step;
        step.index = static_cast<int>(p_.steps.size()) + 1;
        step.line = s.Mark().line + 1;
        const std::string method = Scalar(s["method"], "method");
        step.method = MethodOf(method);
        if (!step.method) {
            Fail(s["method"], "unknown method '" + method + "' (kora-run methods lists them)");
        }
        step.name = s["name"] ? Expand(s["name"], Scalar(s["name"], "name")) : method;
        step.comment = s["comment"] ? Expand(s["comment"], Scalar(s["comment"], "comment")) : "";
        if (s["repeat"]) {
            long r = 0;
            if (!ParseLong(Scalar(s["repeat"], "repeat"), r) || r < 1 || r > 1000000000) {
                Fail(s["repeat"], "'repeat' must be a positive integer");
            }
            step.repeat = static_cast<int>(r);
        }
        if (const yaml::Node attributes = s["attributes"]) {
            if (!attributes.IsMap()) {
                Fail(attributes, "'attributes' is a mapping of attribute names to values");
            }
            for (const auto& kv : attributes) {
                const std::string name = Scalar(kv.first, "attribute name");
                step.attributes.emplace_back(name,
                                             Expand(kv.second, Scalar(kv.second, name.c_str())));
            }
        }
        for (const auto& arg : step.method->args) {
            ArgBinding a;
            a.info = &arg;
            a.realValue = NAN; // an omitted real is not a number
            step.args.push_back(a);
        }
        for (const auto& kv : s) {
            const auto key = kv.first.as<std::string>();
            if (std::find(std::begin(kReservedStepKeys), std::end(kReservedStepKeys), key) !=
                std::end(kReservedStepKeys)) {
                continue;
            }
            auto it = std::find_if(step.args.begin(), step.args.end(),
                                   [&](const ArgBinding& a) { return key == a.info->name; });
            if (it == step.args.end()) {
                std::string names;
                for (const auto& a : step.method->args) {
                    names += names.empty() ? "" : ", ";
                    names += a.name;
                }
                Fail(kv.first, "'" + method + "' has no argument '" + key +
                                   "' (arguments: " + (names.empty() ? "none" : names) + ")");
            }
            LoadArg(*it, kv.second);
        }
        CheckSizes(step, s);
        p_.steps.push_back(std::move(step));
    }

    // Programs call a few methods many times: each is looked up in the table once.
    const StepInfo* MethodOf(const std::string& name) {
        auto [it, added] = methods_.try_emplace(name, nullptr);
        if (added) {
            it->second = FindStepInfo(name);
        }
        return it->second;
    }

    Program& p_;
    std::unordered_map<std::string, const StepInfo*> methods_;
};

} // namespace

const char* VarTypeName(VarType t) {
    switch (t) {
    case VarType::Int:
        return "int";
    case VarType::Real:
        return "real";
    case VarType::Text:
        return "text";
    case VarType::Reals:
        return "reals";
    case VarType::Ints:
        return "ints";
    case VarType::Buffer:
        return "buffer";
    }
    return "?";
}

std::size_t Variable::size() const {
    switch (type) {
    case VarType::Reals:
        return reals.size();
    case VarType::Ints:
        return ints.size();
    case VarType::Buffer:
        return buffer.size();
    default:
        return 1;
    }
}

std::string Variable::display() const {
    std::ostringstream out;
    out.imbue(std::locale::classic());
    switch (type) {
    case VarType::Int:
        out << intValue;
        break;
    case VarType::Real:
        out << realValue;
        break;
    case VarType::Text:
        out << text;
        break;
    case VarType::Buffer:
        out << buffer.data();
        break;
    case VarType::Reals:
    case VarType::Ints: {
        out << "[";
        std::size_t n = std::min<std::size_t>(size(), 8);
        for (std::size_t i = 0; i < n; ++i) {
            out << (i ? ", " : "");
            if (type == VarType::Reals) {
                out << reals[i];
            } else {
                out << ints[i];
            }
        }
        out << (size() > n ? ", ...]" : "]");
        break;
    }
    }
    return out.str();
}

std::optional<Program> ParseProgram(const std::string& text, const std::string& path,
                                    std::string& error) {
    Program p;
    p.file = path;
    p.folder = fs::absolute(fs::path(path)).parent_path().string();
    try {
        const yaml::Document doc = yaml::Load(text);
        Loader(p).Load(doc.root());
    } catch (const ProgramError& e) {
        error = path + ":" + std::to_string(e.line) + ": " + e.text;
        return std::nullopt;
    } catch (const yaml::Exception& e) {
        error = path + ":" + std::to_string(e.mark.line + 1) + ": " + e.msg;
        return std::nullopt;
    }
    return p;
}

std::optional<Program> LoadProgram(const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot read the program file";
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return ParseProgram(text.str(), path, error);
}

std::vector<ArgValue> BuildArgValues(const ProgramStep& step) {
    std::vector<ArgValue> values(step.args.size());
    for (std::size_t i = 0; i < step.args.size(); ++i) {
        const ArgBinding& a = step.args[i];
        ArgValue& v = values[i];
        Variable* var = a.variable;
        switch (a.info->type) {
        case ArgType::STR:
            if (var) {
                v.s = var->type == VarType::Buffer ? var->buffer.data() : var->text.c_str();
            } else if (a.given && !a.null) {
                v.s = a.literal.c_str();
            }
            break;
        case ArgType::BUF:
            v.buf = var ? var->buffer.data() : nullptr;
            break;
        case ArgType::LONG:
            v.l = var ? var->intValue : a.intValue;
            break;
        case ArgType::LONGP:
            v.lp = var ? &var->intValue : nullptr;
            break;
        case ArgType::DOUBLE:
            v.d = var ? var->realValue : (a.given ? a.realValue : NAN);
            break;
        case ArgType::DOUBLEP:
            v.dp = var ? &var->realValue : nullptr;
            break;
        case ArgType::DARRAY:
            v.dp = var ? var->reals.data() : nullptr;
            break;
        case ArgType::LARRAY:
            v.lp = var ? var->ints.data() : nullptr;
            break;
        case ArgType::PTR:
            if (var) {
                v.p = var->type == VarType::Reals  ? static_cast<void*>(var->reals.data())
                      : var->type == VarType::Ints ? static_cast<void*>(var->ints.data())
                                                   : static_cast<void*>(var->buffer.data());
            }
            break;
        }
    }
    return values;
}

} // namespace kora::run
