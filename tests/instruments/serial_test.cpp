// The serial port steps against a pseudo-terminal with a responder on its other end, on the
// virtual clock: time-outs of a silent line pass in virtual time.
#include "instruments/serial_text.h"
#include "support/station.h"

#include <responder.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace kora {
namespace {

using responder::Mode;

TEST(SerialFormat, CharactersCheckedInOrder) {
    const struct {
        const char* text;
        SerialFormatCheck check;
        SerialFormat format;
    } cases[] = {
        {"8BNP1S", SerialFormatCheck::Ok, {8, 0, 0}},
        {"7BEP2S", SerialFormatCheck::Ok, {7, 2, 2}},
        {"5BOP3S", SerialFormatCheck::Ok, {5, 1, 1}},
        {"8BNP3SXYZ", SerialFormatCheck::Ok, {8, 0, 1}},
        {"9BNP1S", SerialFormatCheck::DataBits, {}},
        {"4BNP1S", SerialFormatCheck::DataBits, {}},
        {"", SerialFormatCheck::DataBits, {}},
        {"8XNP1S", SerialFormatCheck::MissingLetter, {}},
        {"8BMP1S", SerialFormatCheck::Parity, {}},
        {"8B", SerialFormatCheck::Parity, {}},
        {"8BNX1S", SerialFormatCheck::MissingLetter, {}},
        {"8BNP4S", SerialFormatCheck::StopBits, {}},
        {"8BNP0S", SerialFormatCheck::StopBits, {}},
        {"8BNP1", SerialFormatCheck::MissingLetter, {}},
        {"9XMP4", SerialFormatCheck::DataBits, {}}, // the first wrong character decides
    };
    for (const auto& c : cases) {
        SerialFormat f{};
        EXPECT_EQ(CheckSerialFormat(c.text, &f), c.check) << c.text;
        if (c.check == SerialFormatCheck::Ok) {
            EXPECT_EQ(f.dataBits, c.format.dataBits) << c.text;
            EXPECT_EQ(f.parity, c.format.parity) << c.text;
            EXPECT_EQ(f.stopBits, c.format.stopBits) << c.text;
        }
    }
    SerialFormat f{};
    EXPECT_EQ(CheckSerialFormat(nullptr, &f), SerialFormatCheck::DataBits);
}

TEST(SerialFormat, ByteDisplay) {
    unsigned char bytes[300];
    for (int i = 0; i < 300; ++i) {
        bytes[i] = static_cast<unsigned char>(i);
    }
    char out[kByteDisplaySize];
    const unsigned char three[] = {0x41, 0x0D, 0xFF};
    FormatByteDisplay(three, 3, out);
    EXPECT_STREQ(out, "41,0D,FF");
    FormatByteDisplay(three, 0, out);
    EXPECT_STREQ(out, "");
    FormatByteDisplay(bytes, 83, out);
    EXPECT_EQ(std::string(out).size(), 83u * 3 - 1);
    FormatByteDisplay(bytes, 84, out);
    EXPECT_EQ(std::string(out).size(), 84u * 3); // the last comma stays
    EXPECT_EQ(std::string(out).substr(243), "51,52,53,");
    for (std::size_t n : {85u, 86u, 300u}) {
        FormatByteDisplay(bytes, n, out);
        EXPECT_EQ(std::string(out).size(), 255u) << n;
        EXPECT_EQ(std::string(out).substr(243), "51,52,53,...") << n;
    }
}

class SerialSteps : public test::StationTest {
  protected:
    void SetUp() override {
        StationTest::SetUp();
        ASSERT_EQ(Setup(), 0) << LastAlert();
    }
    void TearDown() override {
        StopResponder();
        ::unsetenv("KORA_COM5");
        StationTest::TearDown();
    }
    void StartResponder(Mode mode) {
        std::string error;
        responder_ = responder::Responder::Open(mode, error);
        ASSERT_TRUE(responder_) << error;
        ::setenv("KORA_COM5", responder_->path().c_str(), 1);
        stop_ = false;
        thread_ = std::thread([this] { responder_->Serve(stop_, 0); });
    }
    void StopResponder() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    long Conf(const char* attr, long tx = 0, long rx = 0) {
        return CONF_SERIAL(++ref_, "Conf", 0x100, 0, "", attr, tx, rx);
    }
    long Write(const char* text, long length = 0, long* written = nullptr) {
        return WRITE_SERIAL(++ref_, "Write", 0x100, 0, "", "COM5|", text, length, written);
    }
    long Read(const char* attr, char* buffer, long length, long* count = nullptr,
              const char* expected = nullptr) {
        return READ_SERIAL(++ref_, "Read", 0x100, 0, "", attr, buffer, length, count, expected);
    }
    long AttrInt(const char* name) const {
        const auto* a = rvo().attribute(ref_, name);
        return a ? *static_cast<const int32_t*>(a->address) : -999;
    }
    std::unique_ptr<responder::Responder> responder_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    long ref_ = 100;
};

TEST_F(SerialSteps, ConfigurationOfThePort) {
    StartResponder(Mode::Echo);
    ASSERT_EQ(Conf("COM5|19200:7BEP2S"), 0) << LastAlert();
    const SerialPortRecord& port = BenchByIndex(0)->serial[4];
    EXPECT_EQ(port.opened, 1);
    EXPECT_EQ(port.dcb.BaudRate, 19200u);
    EXPECT_EQ(port.dcb.ByteSize, 7);
    EXPECT_EQ(port.dcb.Parity, 2);
    EXPECT_EQ(port.dcb.StopBits, 2);
    EXPECT_EQ(port.timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(port.timeouts.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(port.timeouts.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(lastResult().text, "COM5");
    ASSERT_EQ(Conf("COM5|9600:8BNP1S", 250, 400), 0) << LastAlert();
    EXPECT_EQ(port.dcb.BaudRate, 9600u);
    // The previous settings are shown under the names of the new ones, defined after them.
    EXPECT_EQ(AttrInt("Baudrate"), 19200);
    EXPECT_EQ(AttrInt("Parity"), 2);
    EXPECT_EQ(port.timeouts.ReadTotalTimeoutConstant, 400u);
    EXPECT_EQ(port.timeouts.WriteTotalTimeoutConstant, 250u);
    ASSERT_EQ(Conf("COM5|9600:5BNP3S"), 0) << LastAlert();
    EXPECT_EQ(port.dcb.StopBits, 1);                         // one and a half
    EXPECT_EQ(port.timeouts.ReadTotalTimeoutConstant, 400u); // 0 keeps the time-outs
    const struct {
        const char* attr;
        const char* message;
    } bad[] = {{"COM5|9600:9BNP1S", "Bits per byte out of range [5...8]"},
               {"COM5|9600:8XNP1S", "COM5|9600:8XNP1S"},
               {"COM5|9600:8BQP1S", "Parity out of range [N|O|E]"},
               {"COM5|9600:8BNP5S", "Stop bit selector out of range [1|2|3=1.5]"},
               {"COM17|9600:8BNP1S", "COM17|9600:8BNP1S"},
               {"COM9|9600:8BNP1S", "COM9 interface not available"},
               {"COM8|9600:8BNP1S", "CreateFileA: WINDOWS LastError=3"},
               {"COM5|abc:8BNP1S", "Invalid COM5 parameter"}};
    ::setenv("KORA_COM9", (::testing::TempDir() + "no_such_tty").c_str(), 1);
    ::setenv("KORA_COM8", "/nonexistent/tty", 1);
    for (const auto& b : bad) {
        EXPECT_EQ(Conf(b.attr), -2) << b.attr;
        EXPECT_NE(LastAlert().find(b.message), std::string::npos) << LastAlert();
    }
    ::unsetenv("KORA_COM9");
    ::unsetenv("KORA_COM8");
}

TEST_F(SerialSteps, QueryAnInstrument) {
    StartResponder(Mode::Query);
    ASSERT_EQ(Conf("COM5|115200:8BNP1S"), 0) << LastAlert();
    long written = 0;
    ASSERT_EQ(Write("*IDN?\n", 0, &written), 0) << LastAlert();
    EXPECT_EQ(written, 6);
    EXPECT_EQ(lastResult().text, "*IDN?\n");
    char answer[64] = {};
    long count = 0;
    const std::string expected = std::string(responder::kIdentity) + "\n";
    const double t0 = rvo_TSTAMP();
    EXPECT_EQ(Read("COM5|TERM.0", answer, -64, &count, expected.c_str()), 0) << LastAlert();
    EXPECT_EQ(answer, expected);
    EXPECT_EQ(count, static_cast<long>(expected.size()));
    EXPECT_EQ(lastResult().verdict, rvo::Verdict::Pass);
    EXPECT_EQ(AttrInt("Compare"), 0);
    // The read ended after the line went quiet for the interval time-out.
    EXPECT_NEAR(rvo_TSTAMP() - t0, 0.010, 1e-9);
}

TEST_F(SerialSteps, ExactCountsPartialReadsAndTheCompare) {
    StartResponder(Mode::Echo);
    ASSERT_EQ(Conf("COM5|9600:8BNP1S"), 0) << LastAlert();
    const char bytes[] = {0x41, 0x0D, static_cast<char>(0xFF)};
    ASSERT_EQ(Write(bytes, 3), 0);
    EXPECT_EQ(lastResult().text, "41,0D,FF");
    char in[16] = {};
    long count = 0;
    EXPECT_EQ(Read("COM5|", in, 3, &count, "A\r\xFF"), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(lastResult().text, "41,0D,FF");
    EXPECT_EQ(rvo().step(ref_)->stepResult, 1);
    // Three bytes where four were asked for: the step fails, the compare counts the shortfall.
    ASSERT_EQ(Write("abc"), 0);
    EXPECT_EQ(Read("COM5|", in, 4, &count, "abcd"), -1);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(AttrInt("Compare"), -1);
    EXPECT_EQ(rvo().step(ref_)->stepResult, -1);
    // At most four: three is fine; one byte differs from the expected ones.
    ASSERT_EQ(Write("abc"), 0);
    EXPECT_EQ(Read("COM5|", in, -3, &count, "abd"), -1);
    EXPECT_EQ(AttrInt("Compare"), 1);
    ASSERT_EQ(Write("hello"), 0);
    EXPECT_EQ(Read("COM5|TERM.0", in, -16, &count), 0);
    EXPECT_STREQ(in, "hello");
    ASSERT_EQ(Write("0123456789ABCDEF"), 0);
    EXPECT_EQ(Read("COM5|TERM.0", in, 16, &count), -2);
    EXPECT_NE(LastAlert().find("Not enough space for term chars"), std::string::npos);
}

TEST_F(SerialSteps, SilentLineTimesOutInVirtualTime) {
    StartResponder(Mode::Silent);
    ASSERT_EQ(Conf("COM5|9600:8BNP1S", 0, 2500), 0) << LastAlert();
    ASSERT_EQ(Write("MEAS:VOLT?\n"), 0);
    char in[8] = {};
    long count = -1;
    const double t0 = rvo_TSTAMP();
    const auto real0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Read("COM5|", in, 4, &count), -1);
    EXPECT_EQ(count, 0);
    EXPECT_NEAR(rvo_TSTAMP() - t0, 2.5, 1e-9);
    EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::milliseconds(500));
}

TEST_F(SerialSteps, RefusedAndFailedTransfers) {
    StartResponder(Mode::Echo);
    EXPECT_EQ(Read("COM5|TERM.1", nullptr, 4), -2);
    EXPECT_NE(LastAlert().find("COM5|TERM.1"), std::string::npos);
    // A port no CONF_SERIAL opened has no handle.
    EXPECT_EQ(Write("AT"), -2);
    EXPECT_NE(LastAlert().find("WriteFile: 0 of 2 Bytes written - WINDOWS LastError=6)"),
              std::string::npos)
        << LastAlert();
    EXPECT_EQ(Read("COM5|", nullptr, 4), -2);
    EXPECT_NE(LastAlert().find("ReadFile: WINDOWS LastError 6"), std::string::npos);
    ASSERT_EQ(Conf("COM5|9600:8BNP1S"), 0);
    EXPECT_EQ(WRITE_SERIAL(++ref_, "Write", 0x100, 0, "", "COM5|", nullptr, 0, nullptr), -2);
    EXPECT_NE(LastAlert().find("0x81000007"), std::string::npos);
    EXPECT_NE(LastAlert().find("pBUFFER=NULL"), std::string::npos);
    EXPECT_EQ(Read("COM5|", nullptr, 2000), -2);
    EXPECT_NE(LastAlert().find("ReadLenght > Internal buffer size"), std::string::npos);
    EXPECT_EQ(Read("COM5|", nullptr, -1024), 0); // the internal buffer holds 1024
}

} // namespace
} // namespace kora
