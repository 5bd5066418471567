// kora-serial-responder: a serial instrument on a pseudo-terminal, for the serial port steps.
//   kora-serial-responder [--mode query|echo|silent] [--link PATH] [--idle SECONDS]
// Prints the port's path; point KORA_COM<n> at it (or at the --link) and run the program.
#include "responder.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>

namespace {
std::atomic<bool> g_stop{false};
void OnSignal(int) {
    g_stop.store(true);
}
} // namespace

int main(int argc, char** argv) {
    CLI::App app{"kora-serial-responder: a serial instrument on a pseudo-terminal"};
    std::string mode = "query", link;
    double idle = 600;
    app.add_option("--mode", mode, "query: answer *IDN? and MEAS:VOLT?; echo; silent")
        ->check(CLI::IsMember({"query", "echo", "silent"}))
        ->capture_default_str();
    app.add_option("--link", link, "also reach the port under this path (a symbolic link)");
    app.add_option("--idle", idle, "stop after this many seconds without traffic (0: never)")
        ->capture_default_str();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? 0 : 2;
    }
    using kora::responder::Mode;
    const Mode m = mode == "echo" ? Mode::Echo : mode == "silent" ? Mode::Silent : Mode::Query;
    std::string error;
    auto responder = kora::responder::Responder::Open(m, error);
    if (!responder) {
        std::fprintf(stderr, "kora-serial-responder: %s\n", error.c_str());
        return 2;
    }
    namespace fs = std::filesystem;
    if (!link.empty()) {
        std::error_code ec;
        fs::remove(link, ec);
        fs::create_symlink(responder->path(), link, ec);
        if (ec) {
            std::fprintf(stderr, "kora-serial-responder: %s: %s\n", link.c_str(),
                         ec.message().c_str());
            return 2;
        }
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("%s\n", link.empty() ? responder->path().c_str() : link.c_str());
    std::fflush(stdout);
    responder->Serve(g_stop, idle);
    if (!link.empty()) {
        std::error_code ec;
        fs::remove(link, ec);
    }
    return 0;
}
