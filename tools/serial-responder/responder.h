// A small serial instrument on the far end of a pseudo-terminal, for running the serial port
// steps without a device: it answers queries, echoes, or stays silent so that reads time out.
#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace kora::responder {

enum class Mode { Query, Echo, Silent };

// The answers of the query mode, one per line received (a line ends in CR or LF): "*IDN?" gives
// kIdentity, "MEAS:VOLT?" gives kVoltage, any other text ending in '?' gives kUnknownQuery, other
// lines are commands and get no answer. Every answer ends in LF.
inline constexpr const char* kIdentity = "KORA,SERIAL-RESPONDER,0,1.0";
inline constexpr const char* kVoltage = "+5.0200E+00";
inline constexpr const char* kUnknownQuery = "ERROR";

class Responder {
  public:
    // Opens a pseudo-terminal pair; null with `error` set when the system has none to give.
    static std::unique_ptr<Responder> Open(Mode mode, std::string& error);
    ~Responder();
    Responder(const Responder&) = delete;
    Responder& operator=(const Responder&) = delete;

    // The path of the port side, for KORA_COM<n>.
    const std::string& path() const { return path_; }

    // Serves the line until `stop` is set or nothing arrived for `idleSeconds` (0: no limit).
    // Returns the number of bytes received.
    long Serve(const std::atomic<bool>& stop, double idleSeconds);

  private:
    Responder(Mode mode, int master, int slave, std::string path);
    Mode mode_;
    int master_;
    int slave_; // kept open so the line stays up between the steps that open the port
    std::string path_;
};

} // namespace kora::responder
