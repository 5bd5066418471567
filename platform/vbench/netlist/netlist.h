// A board netlist as read from a SPICE-subset file: elements with their nets, device models and
// source descriptions. Names are folded to lower case, as SPICE does, so that "R1" and "r1" are the
// same element and "VCC" and "vcc" the same net; the nets "0" and "gnd" are ground.
//
// The accepted subset is what ngspice runs unchanged, so a board can be checked there:
//   Rname n+ n- value                     resistor
//   Cname n+ n- value                     capacitor
//   Lname n+ n- value                     inductor
//   Dname a k model [area] [OFF]          diode (.model D)
//   Qname c b e [s] model [area]          bipolar transistor (.model NPN / PNP)
//   Mname d g s b model [W=w] [L=l]       MOSFET, level 1 (.model NMOS / PMOS)
//   Sname n+ n- nc+ nc- model [ON|OFF]    voltage-controlled switch (.model SW); a relay is a coil
//                                         resistor plus such a switch, NO or NC by its thresholds
//   Gname n+ n- nc+ nc- gm                voltage-controlled current source: gm x v(nc+, nc-) flows
//                                         from n+ through it to n- (a photocoupler's light)
//   Vname / Iname n+ n- [[DC] v] [AC mag [phase]] [PULSE(...) | SIN(...)]
//   Xname nets... subckt                  instance of a .subckt (flattened, names "xname.inner")
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kora::vbench {

// Where a card came from, for error messages.
struct SourceLocation {
    std::string file;
    int line = 0;
};

// A netlist that cannot be read: "file:line: message".
class NetlistError : public std::runtime_error {
  public:
    NetlistError(const SourceLocation& where, const std::string& message);
    const SourceLocation& where() const { return where_; }
    const std::string& message() const { return message_; }

  private:
    SourceLocation where_;
    std::string message_;
};

enum class ElementKind {
    Resistor,
    Capacitor,
    Inductor,
    Diode,
    Bjt,
    Mosfet,
    VSource,
    ISource,
    Switch,
    Vccs
};

enum class ModelKind { Diode, Npn, Pnp, Nmos, Pmos, Switch };

// A .model card. Parameter names are upper case; only parameters the solver implements are
// accepted (see ModelParameterNames).
struct Model {
    std::string name;
    ModelKind kind = ModelKind::Diode;
    std::map<std::string, double> params;
    SourceLocation where;

    double get(const std::string& key, double fallback) const {
        auto it = params.find(key);
        return it == params.end() ? fallback : it->second;
    }
    bool has(const std::string& key) const { return params.count(key) != 0; }
};

// The parameters the solver implements for a kind of model, as a comma-separated list.
const char* ModelParameterNames(ModelKind kind);

enum class Waveform { None, Pulse, Sin };

// Independent source: DC value, small-signal AC phasor and an optional time function. Without a
// DC value the operating point uses the time function's value at t = 0, as ngspice does.
struct SourceSettings {
    double dc = 0;
    bool dcGiven = false;
    double acMagnitude = 0;
    double acPhaseDegrees = 0;
    Waveform wave = Waveform::None;
    std::vector<double> waveParams; // PULSE: V1 V2 TD TR TF PW PER; SIN: VO VA FREQ TD THETA

    // Value at time t (seconds) of the transient description (the DC value without one).
    double valueAt(double t) const;
    // Value used for the operating point.
    double dcValue() const { return dcGiven || wave == Waveform::None ? dc : valueAt(0); }
};

struct Element {
    ElementKind kind = ElementKind::Resistor;
    std::string name;               // folded, with the kind letter ("r1", "x1.q3")
    std::vector<std::string> nodes; // folded net names; ground is "0"
    double value = 0;               // R, C, L; G: transconductance
    std::string model;              // D, Q, M, S
    double area = 1;                // D, Q
    double w = 0, l = 0;            // M; 0 = the model default
    bool off = false;               // D: start off; S: initial state is "ON" when false
    bool initialOn = false;         // S
    SourceSettings source;          // V, I
    SourceLocation where;
};

struct Netlist {
    std::string title;
    std::vector<Element> elements;
    std::map<std::string, Model> models;

    const Model* findModel(const std::string& name) const {
        auto it = models.find(name);
        return it == models.end() ? nullptr : &it->second;
    }
    const Element* findElement(const std::string& name) const;
    // Every net named by an element, ground excluded, in order of first use.
    std::vector<std::string> nets() const;
};

// True for the names SPICE treats as ground.
bool IsGroundName(const std::string& folded);

} // namespace kora::vbench
