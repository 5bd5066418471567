#include "executive_decl.h"

#include "yaml_tree.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace kora::run {

namespace {

// Unit words a declaration may give instead of the executive's unit code.
constexpr struct {
    const char* word;
    long code;
} kUnitWords[] = {
    {"NONE", 0},   {"COUNT", 2},  {"NUMBER", 3}, {"FAILS", 4},  {"VDC", 5},    {"VAC", 6},
    {"VACDC", 7},  {"VRMS", 8},   {"ADC", 9},    {"AAC", 10},   {"AACDC", 11}, {"OHM", 13},
    {"FARAD", 14}, {"HENRY", 15}, {"SEC", 16},   {"HERTZ", 17}, {"TESLA", 18}, {"PERC", 19},
    {"DEG", 20},   {"DEGC", 21},  {"DEGF", 22},  {"JOULE", 23}, {"WATT", 24},
};

[[noreturn]] void Fail(const yaml::Node& n, const std::string& text) {
    throw DeclError{n.Mark().line + 1, text};
}

std::string Scalar(const yaml::Node& n, const char* what) {
    if (!n.IsScalar()) {
        Fail(n, std::string("'") + what + "' must be a single value");
    }
    return n.Scalar();
}

bool ReadLong(const std::string& s, long& out) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s.c_str(), &end, 0);
    if (s.empty() || errno != 0 || *end != 0) {
        return false;
    }
    out = v;
    return true;
}

bool ReadReal(const std::string& s, double& out) {
    char* end = nullptr;
    const double v = std::strtod(s.c_str(), &end);
    if (s.empty() || *end != 0) {
        return false;
    }
    out = v;
    return true;
}

long LongOf(const yaml::Node& n, const char* what) {
    long v = 0;
    if (!ReadLong(Scalar(n, what), v)) {
        Fail(n, std::string("'") + what + "' must be an integer");
    }
    return v;
}

// Puts `text` into the parameter as a value of `type`; false when it does not read as one.
bool SetValue(rvo::SysPara& p, char type, const std::string& text) {
    switch (type) {
    case 'I':
        return ReadLong(text, p.intValue);
    case 'R':
        return ReadReal(text, p.realValue);
    default:
        p.stringValue = text;
        return true;
    }
}

char TypeOfWord(const std::string& word) {
    return word == "int" ? 'I' : word == "real" ? 'R' : word == "text" ? 'S' : 0;
}

ParameterDecl LoadParameter(const yaml::Node& def) {
    if (!def.IsMap()) {
        Fail(def, "a parameter is a mapping with section, name, type and value");
    }
    static const std::set<std::string> known = {"section", "name", "type",
                                                "value",   "unit", "comment"};
    for (const auto& kv : def) {
        if (!known.count(kv.first.as<std::string>())) {
            Fail(kv.first, "unknown parameter key '" + kv.first.as<std::string>() +
                               "' (known: section, name, type, value, unit, comment)");
        }
    }
    ParameterDecl d;
    d.line = def.Mark().line + 1;
    if (!def["section"] || !def["name"] || !def["type"]) {
        Fail(def, "a parameter needs a 'section', a 'name' and a 'type' (int, real, text)");
    }
    d.para.section = Scalar(def["section"], "section");
    d.para.name = Scalar(def["name"], "name");
    d.type = TypeOfWord(Scalar(def["type"], "type"));
    if (d.type == 0) {
        Fail(def["type"],
             "unknown parameter type '" + def["type"].Scalar() + "' (int, real, text)");
    }
    if (def["value"] && !SetValue(d.para, d.type, Scalar(def["value"], "value"))) {
        Fail(def["value"],
             "'" + def["value"].Scalar() + "' is not of type " + def["type"].Scalar());
    }
    if (auto u = def["unit"]) {
        const std::string word = Scalar(u, "unit");
        bool found = ReadLong(word, d.para.unit);
        for (const auto& w : kUnitWords) {
            if (word == w.word) {
                d.para.unit = w.code;
                found = true;
            }
        }
        if (!found) {
            Fail(u, "unknown unit '" + word + "' (a unit code or a word such as VDC, OHM, SEC)");
        }
    }
    if (def["comment"]) {
        d.para.comment = Scalar(def["comment"], "comment");
    }
    return d;
}

} // namespace

ExecutiveDecl LoadExecutiveDecl(const yaml::Node& node) {
    if (!node.IsMap()) {
        Fail(node, "'executive' is a mapping (station_id, item_index, fixture_position, "
                   "device_naming, parameters)");
    }
    ExecutiveDecl decl;
    const struct {
        const char* key;
        std::optional<long> ExecutiveDecl::*field;
    } numbers[] = {{"station_id", &ExecutiveDecl::stationId},
                   {"item_index", &ExecutiveDecl::itemIndex},
                   {"fixture_position", &ExecutiveDecl::fixturePosition},
                   {"device_naming", &ExecutiveDecl::deviceNaming}};
    for (const auto& kv : node) {
        const std::string key = kv.first.as<std::string>();
        bool known = key == "parameters";
        for (const auto& n : numbers) {
            if (key == n.key) {
                decl.*n.field = LongOf(kv.second, n.key);
                known = true;
            }
        }
        if (!known) {
            Fail(kv.first, "unknown executive key '" + key +
                               "' (known: station_id, item_index, fixture_position, "
                               "device_naming, parameters)");
        }
    }
    if (auto params = node["parameters"]) {
        if (!params.IsSequence()) {
            Fail(params, "'parameters' is a list");
        }
        for (const auto& def : params) {
            ParameterDecl d = LoadParameter(def);
            for (const auto& other : decl.parameters) {
                if (other.para.section == d.para.section && other.para.name == d.para.name) {
                    Fail(def,
                         "parameter " + d.para.section + ":" + d.para.name + " is declared twice");
                }
            }
            decl.parameters.push_back(std::move(d));
        }
    }
    return decl;
}

bool ApplySetOption(ExecutiveDecl& decl, const std::string& option, std::string& error) {
    const auto colon = option.find(':');
    const auto equals = option.find('=');
    if (colon == std::string::npos || equals == std::string::npos || colon > equals || colon == 0 ||
        equals == colon + 1) {
        error = "--set " + option + ": write SECTION:NAME=VALUE";
        return false;
    }
    const std::string section = option.substr(0, colon);
    const std::string name = option.substr(colon + 1, equals - colon - 1);
    const std::string value = option.substr(equals + 1);
    for (auto& d : decl.parameters) {
        if (d.para.section == section && d.para.name == name) {
            if (!SetValue(d.para, d.type, value)) {
                error = "--set " + option + ": '" + value + "' is not of the parameter's type";
                return false;
            }
            return true;
        }
    }
    ParameterDecl d;
    d.para.section = section;
    d.para.name = name;
    long l = 0;
    double r = 0;
    d.type = ReadLong(value, l) ? 'I' : ReadReal(value, r) ? 'R' : 'S';
    SetValue(d.para, d.type, value);
    decl.parameters.push_back(std::move(d));
    return true;
}

void ApplyExecutiveDecl(const ExecutiveDecl& decl, rvo::Runtime& rt) {
    rt.setStation(decl.stationId.value_or(kDefaultStationId), decl.itemIndex.value_or(1));
    rt.setFixturePosition(decl.fixturePosition.value_or(0));
    rt.setDeviceNaming(decl.deviceNaming.value_or(0));
    for (const auto& d : decl.parameters) {
        rt.setSysPara(d.para);
    }
}

const char* ParameterTypeName(char type) {
    return type == 'I' ? "int" : type == 'R' ? "real" : "text";
}

std::string ParameterValueText(const rvo::SysPara& p, char type) {
    char buf[64];
    switch (p.written ? p.written : type) {
    case 'I':
        std::snprintf(buf, sizeof buf, "%ld", p.intValue);
        return buf;
    case 'R':
        std::snprintf(buf, sizeof buf, "%.15g", p.realValue);
        return buf;
    default:
        return p.stringValue;
    }
}

} // namespace kora::run
