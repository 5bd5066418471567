// Serial ports through a pseudo-terminal: "COMn" redirected by KORA_COM<n>, byte-exact transfers
// in both directions, port settings applied to the terminal, read time-outs.
#include <winapi.h>

#include "os_termios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Sets an environment variable for one test and restores the old value.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name); old != nullptr) {
            old_ = old;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (old_) {
            ::setenv(name_.c_str(), old_->c_str(), 1);
        } else {
            ::unsetenv(name_.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

// A pseudo-terminal: the test plays the device on the master side, the port under test opens the
// slave by its path. The slave descriptor is kept open so that the terminal stays alive and its
// settings can be read back.
class Pty {
  public:
    Pty() {
        char name[256] = {};
        // The terminal starts cooked (echo, line editing, CR/LF translation): making it a raw
        // byte channel is the port's job.
        if (::openpty(&master_, &slave_, name, nullptr, nullptr) == 0) {
            path_ = name;
        }
    }
    ~Pty() {
        if (master_ >= 0) {
            ::close(master_);
        }
        if (slave_ >= 0) {
            ::close(slave_);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    int slave() const { return slave_; }

    // Sends bytes to the port and waits until the terminal holds all of them as input, so that
    // the port's read finds them without racing the terminal's transfer.
    bool Send(const std::string& bytes) const {
        if (::write(master_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) {
            return false;
        }
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < limit) {
            int queued = 0;
            if (::ioctl(slave_, FIONREAD, &queued) == 0 &&
                queued >= static_cast<int>(bytes.size())) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    // What the port sent: exactly `count` bytes, or fewer if they do not come within 10 s.
    std::string Receive(size_t count) const {
        std::string got;
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < count && std::chrono::steady_clock::now() < limit) {
            pollfd entry{master_, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            char block[256];
            const ssize_t n = ::read(master_, block, std::min(sizeof block, count - got.size()));
            if (n > 0) {
                got.append(block, static_cast<size_t>(n));
            }
        }
        return got;
    }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

HANDLE OpenPort(const char* name) {
    return CreateFileA(name, kReadWrite, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Binary bytes that a terminal in cooked mode would change or swallow.
const std::string kBinary = std::string("AT\r\n\0\x03\x04\x11\x13\x7F\xFF\n\r", 13);

TEST(OsSerial, BytesPassUnchangedInBothDirections) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv redirect("KORA_COM7", pty.path());
    HANDLE port = OpenPort("COM7");
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();

    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(port, kBinary.data(), static_cast<DWORD>(kBinary.size()), &written, nullptr));
    EXPECT_EQ(written, kBinary.size());
    EXPECT_EQ(pty.Receive(kBinary.size()), kBinary);

    COMMTIMEOUTS timeouts{0, 0, 5000, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
    ASSERT_TRUE(pty.Send(kBinary));
    char buffer[64] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port, buffer, static_cast<DWORD>(kBinary.size()), &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), kBinary);
    EXPECT_TRUE(CloseHandle(port));
}

TEST(OsSerial, PortNamesReachTheRedirectedDevice) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv redirect("KORA_COM12", pty.path());
    for (const char* name : {"COM12", "com12", "\\\\.\\COM12"}) {
        SCOPED_TRACE(name);
        HANDLE port = OpenPort(name);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        DWORD written = 0;
        EXPECT_TRUE(
            WriteFile(port, name, static_cast<DWORD>(std::strlen(name)), &written, nullptr));
        EXPECT_EQ(pty.Receive(std::strlen(name)), name);
        EXPECT_TRUE(CloseHandle(port));
    }
}

TEST(OsSerial, MissingOrBusyPortsAreRefusedAsOnTheTarget) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv present("KORA_COM3", pty.path());
    ScopedEnv absent("KORA_COM4", "/dev/kora-no-such-port");

    SetLastError(0);
    EXPECT_EQ(OpenPort("COM4"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND); // "COM4 interface not available"

    HANDLE first = OpenPort("COM3");
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(OpenPort("COM3"), INVALID_HANDLE_VALUE) << "a port is for one user at a time";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(CloseHandle(first));
    HANDLE again = OpenPort("COM3");
    EXPECT_NE(again, INVALID_HANDLE_VALUE) << "closing frees the port";
    EXPECT_TRUE(CloseHandle(again));

    SetLastError(0);
    EXPECT_EQ(CreateFileA("COM3", kReadWrite, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Linux pseudo-terminals force 8 data bits and clear the parity enable whatever is set; a real
// serial device keeps both. Asks this terminal which it is.
bool KeepsDataBitsAndParity(int fd) {
    termios original{};
    if (::tcgetattr(fd, &original) != 0) {
        return false;
    }
    termios probe = original;
    probe.c_cflag = (probe.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB;
    termios seen{};
    const bool kept = ::tcsetattr(fd, TCSANOW, &probe) == 0 && ::tcgetattr(fd, &seen) == 0 &&
                      (seen.c_cflag & CSIZE) == CS7 && (seen.c_cflag & PARENB) != 0;
    ::tcsetattr(fd, TCSANOW, &original);
    return kept;
}

struct FrameCase {
    DWORD baud;
    BYTE byteSize;
    BYTE parity;
    BYTE stopBits;
    speed_t speed;
    tcflag_t size;
};

TEST(OsSerial, PortSettingsReachTheTerminal) {
    const FrameCase cases[] = {
        {CBR_9600, 8, NOPARITY, ONESTOPBIT, B9600, CS8},
        {CBR_19200, 7, EVENPARITY, TWOSTOPBITS, B19200, CS7},
        {CBR_115200, 8, ODDPARITY, ONESTOPBIT, B115200, CS8},
        {CBR_1200, 5, NOPARITY, ONE5STOPBITS, B1200, CS5},
        {CBR_38400, 6, EVENPARITY, ONESTOPBIT, B38400, CS6},
        {CBR_300, 7, ODDPARITY, TWOSTOPBITS, B300, CS7},
    };
    Pty pty;
    ASSERT_TRUE(pty.ok());
    const bool fullFrame = KeepsDataBitsAndParity(pty.slave());
    ScopedEnv redirect("KORA_COM2", pty.path());
    HANDLE port = OpenPort("COM2");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.byteSize) + "/" +
                     std::to_string(c.parity) + "/" + std::to_string(c.stopBits));
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();

        termios settings{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &settings), 0);
        EXPECT_EQ(::cfgetospeed(&settings), c.speed);
        EXPECT_EQ(::cfgetispeed(&settings), c.speed);
        EXPECT_EQ((settings.c_cflag & CSTOPB) != 0, c.stopBits != ONESTOPBIT);
        EXPECT_EQ((settings.c_cflag & PARODD) != 0, c.parity == ODDPARITY);
        if (fullFrame) {
            EXPECT_EQ(settings.c_cflag & CSIZE, c.size);
            EXPECT_EQ((settings.c_cflag & PARENB) != 0, c.parity != NOPARITY);
        }

        // The port reports what was applied, also where the terminal cannot keep it.
        DCB back{};
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, c.byteSize);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stopBits);
    }
    EXPECT_TRUE(CloseHandle(port));
}

// The translation itself, for every frame format, without a terminal that could drop flags.
TEST(OsSerial, DcbTranslatesToTerminalFlagsAndBack) {
    struct Case {
        DWORD baud;
        speed_t speed;
        tcflag_t set;   // c_cflag bits that must be set
        tcflag_t clear; // c_cflag bits that must be clear
        BYTE byteSize;
        BYTE parity;
        BYTE stopBits;
        bool parityCheck;
        bool hardwareFlow;
        bool xonXoff;
    };
    const tcflag_t kFrameBits = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    const Case cases[] = {
        {CBR_9600, B9600, CS8, kFrameBits & ~CS8, 8, NOPARITY, ONESTOPBIT, false, false, false},
        {CBR_19200, B19200, CS7 | PARENB | CSTOPB, (CSIZE & ~CS7) | PARODD | CRTSCTS, 7, EVENPARITY,
         TWOSTOPBITS, true, false, false},
        {CBR_57600, B57600, CS6 | PARENB | PARODD | CRTSCTS, (CSIZE & ~CS6) | CSTOPB, 6, ODDPARITY,
         ONESTOPBIT, false, true, false},
        {CBR_2400, B2400, CS5 | CSTOPB, PARENB | PARODD | CRTSCTS, 5, NOPARITY, ONE5STOPBITS, false,
         false, true},
#ifdef CMSPAR
        {CBR_4800, B4800, CS8 | PARENB | PARODD | CMSPAR, CSTOPB, 8, MARKPARITY, ONESTOPBIT, false,
         false, false},
        {CBR_4800, B4800, CS8 | PARENB | CMSPAR, PARODD | CSTOPB, 8, SPACEPARITY, ONESTOPBIT, false,
         false, false},
#endif
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.baud) + " " + std::to_string(c.byteSize) + "/" +
                     std::to_string(c.parity) + "/" + std::to_string(c.stopBits));
        DCB dcb = kora::os::DefaultDcb();
        dcb.BaudRate = c.baud;
        dcb.ByteSize = c.byteSize;
        dcb.Parity = c.parity;
        dcb.StopBits = c.stopBits;
        dcb.fParity = c.parityCheck ? 1 : 0;
        dcb.fOutxCtsFlow = c.hardwareFlow ? 1 : 0;
        dcb.fRtsControl = c.hardwareFlow ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
        dcb.fOutX = c.xonXoff ? 1 : 0;
        dcb.fInX = c.xonXoff ? 1 : 0;
        ASSERT_TRUE(kora::os::DcbIsValid(dcb));

        // Start from settings with every frame flag on and another size, so stale flags show.
        termios settings{};
        settings.c_cflag =
            CLOCAL | CREAD | (c.byteSize == 8 ? CS5 : CS8) | PARENB | PARODD | CSTOPB | CRTSCTS;
#ifdef CMSPAR
        settings.c_cflag |= CMSPAR;
        const bool sticky = c.parity == MARKPARITY || c.parity == SPACEPARITY;
#endif
        settings.c_iflag = INPCK | IXON | IXOFF;
        kora::os::TermiosFromDcb(dcb, settings);
        EXPECT_EQ(::cfgetospeed(&settings), c.speed);
        EXPECT_EQ(::cfgetispeed(&settings), c.speed);
        EXPECT_EQ(settings.c_cflag & CSIZE, c.set & CSIZE);
        EXPECT_EQ(settings.c_cflag & (c.set & ~CSIZE), c.set & ~CSIZE);
        EXPECT_EQ(settings.c_cflag & (c.clear & ~CSIZE), 0u);
        EXPECT_EQ((settings.c_iflag & INPCK) != 0, c.parityCheck && c.parity != NOPARITY);
        EXPECT_EQ((settings.c_iflag & IXON) != 0, c.xonXoff);
        EXPECT_EQ((settings.c_iflag & IXOFF) != 0, c.xonXoff);
        EXPECT_NE(settings.c_cflag & CLOCAL, 0u) << "flags outside the frame must stay";
#ifdef CMSPAR
        EXPECT_EQ((settings.c_cflag & CMSPAR) != 0, sticky);
#endif

        DCB back{};
        kora::os::DcbFromTermios(settings, back);
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, c.byteSize);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stopBits);
        EXPECT_EQ(back.fOutxCtsFlow, c.hardwareFlow ? 1u : 0u);
        EXPECT_EQ(back.fOutX, c.xonXoff ? 1u : 0u);
    }
}

TEST(OsSerial, SettingsThePortCannotTakeAreRefusedAndChangeNothing) {
    struct Case {
        const char* what;
        DWORD baud;
        BYTE byteSize;
        BYTE parity;
        BYTE stopBits;
    };
    const Case cases[] = {
        {"1.5 stop bits with 8 data bits", CBR_9600, 8, NOPARITY, ONE5STOPBITS},
        {"2 stop bits with 5 data bits", CBR_9600, 5, NOPARITY, TWOSTOPBITS},
        {"9 data bits", CBR_9600, 9, NOPARITY, ONESTOPBIT},
        {"4 data bits", CBR_9600, 4, NOPARITY, ONESTOPBIT},
        {"unknown parity", CBR_9600, 8, 7, ONESTOPBIT},
        {"unknown stop bits", CBR_9600, 8, NOPARITY, 3},
        {"odd baud rate", 12345, 8, NOPARITY, ONESTOPBIT},
        {"baud rate 0", 0, 8, NOPARITY, ONESTOPBIT},
    };
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv redirect("KORA_COM5", pty.path());
    HANDLE port = OpenPort("COM5");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    DCB good{};
    ASSERT_TRUE(GetCommState(port, &good));
    good.BaudRate = CBR_4800;
    good.ByteSize = 7;
    good.Parity = EVENPARITY;
    good.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port, &good));
    termios before{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &before), 0);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DCB bad = good;
        bad.BaudRate = c.baud;
        bad.ByteSize = c.byteSize;
        bad.Parity = c.parity;
        bad.StopBits = c.stopBits;
        SetLastError(0);
        EXPECT_FALSE(SetCommState(port, &bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER); // "Invalid COM5 parameter"
        termios after{};
        ASSERT_EQ(::tcgetattr(pty.slave(), &after), 0);
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(::cfgetospeed(&after), ::cfgetospeed(&before));
        DCB kept{};
        ASSERT_TRUE(GetCommState(port, &kept));
        EXPECT_EQ(kept.BaudRate, good.BaudRate);
        EXPECT_EQ(kept.ByteSize, good.ByteSize);
        EXPECT_EQ(kept.Parity, good.Parity);
        EXPECT_EQ(kept.StopBits, good.StopBits);
    }
    EXPECT_TRUE(CloseHandle(port));
}

TEST(OsSerial, ReadTimeoutsEndReadsWithWhatHasArrived) {
    struct Case {
        const char* what;
        COMMTIMEOUTS timeouts;
        DWORD request;
        std::string waiting; // bytes the device has sent before the read
        std::string expected;
    };
    const Case cases[] = {
        {"total constant ends a short read", {0, 0, 50, 0, 0}, 10, "abc", "abc"},
        {"total multiplier counts per byte", {0, 10, 0, 0, 0}, 5, "ab", "ab"},
        {"interval ends a read after the last byte", {20, 0, 0, 0, 0}, 10, "abc", "abc"},
        {"total time-out without data gives nothing", {0, 0, 30, 0, 0}, 10, "", ""},
        {"MAXDWORD interval returns what has arrived", {MAXDWORD, 0, 0, 0, 0}, 10, "abc", "abc"},
        {"MAXDWORD interval without data returns at once", {MAXDWORD, 0, 0, 0, 0}, 10, "", ""},
        // Neither of these may wait for its long time-out: the data end them.
        {"a complete read ends before the time-out", {0, 0, 600000, 0, 0}, 4, "abcdef", "abcd"},
        {"first bytes end a MAXDWORD/MAXDWORD read",
         {MAXDWORD, MAXDWORD, 600000, 0, 0},
         10,
         "xy",
         "xy"},
        {"a complete read needs no time-out at all",
         {0, 0, 0, 0, 0},
         10,
         "0123456789",
         "0123456789"},
    };
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ScopedEnv redirect("KORA_COM16", pty.path());
    HANDLE port = OpenPort("COM16");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    const COMMTIMEOUTS drain{MAXDWORD, 0, 0, 0, 0};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        COMMTIMEOUTS timeouts = c.timeouts;
        ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
        COMMTIMEOUTS back{};
        ASSERT_TRUE(GetCommTimeouts(port, &back));
        EXPECT_EQ(std::memcmp(&back, &timeouts, sizeof back), 0);
        if (!c.waiting.empty()) {
            ASSERT_TRUE(pty.Send(c.waiting));
        }
        // A read that wrongly waits for ever (or ten minutes) fails here instead of hanging.
        auto result = std::make_shared<std::string>();
        auto ok = std::make_shared<BOOL>(FALSE);
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> finished = done->get_future();
        const DWORD request = c.request;
        std::thread([port, request, result, ok, done] {
            std::string buffer(request, '\0');
            DWORD read = 0;
            *ok = ReadFile(port, buffer.data(), request, &read, nullptr);
            buffer.resize(read);
            *result = buffer;
            done->set_value();
        }).detach();
        ASSERT_EQ(finished.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        EXPECT_TRUE(*ok);
        EXPECT_EQ(*result, c.expected);

        // Whatever the read left stays for the next one.
        COMMTIMEOUTS immediate = drain;
        ASSERT_TRUE(SetCommTimeouts(port, &immediate));
        char rest[64] = {};
        DWORD restCount = 0;
        ASSERT_TRUE(ReadFile(port, rest, sizeof rest, &restCount, nullptr));
        EXPECT_EQ(std::string(rest, restCount), c.waiting.substr(c.expected.size()));
    }
    EXPECT_TRUE(CloseHandle(port));
}

// A port redirected to a plain file keeps its settings and time-outs without a terminal, so that
// whole serial steps can run against a file.
TEST(OsSerial, PortOnAPlainFileKeepsItsSettings) {
    const std::string path =
        (std::filesystem::temp_directory_path() / ("kora_com_file_" + std::to_string(::getpid())))
            .string();
    {
        std::ofstream seed(path, std::ios::binary | std::ios::trunc);
        seed << "OK\r\n";
    }
    ScopedEnv redirect("KORA_COM9", path);
    HANDLE port = OpenPort("COM9");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);

    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, CBR_9600);
    EXPECT_EQ(dcb.ByteSize, 8);
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.BaudRate, CBR_57600);
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, ODDPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    dcb.ByteSize = 9;
    EXPECT_FALSE(SetCommState(port, &dcb));

    char buffer[16] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(std::string(buffer, read), "OK\r\n");
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "ATZ", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_TRUE(CloseHandle(port));

    std::ifstream in(path, std::ios::binary);
    const std::string content((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(content, "OK\r\nATZ");
    std::filesystem::remove(path);
}

} // namespace
