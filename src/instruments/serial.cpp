// Serial port steps: CONF_SERIAL opens a port on first use and sets its frame and time-outs,
// WRITE_SERIAL sends a text or bytes, READ_SERIAL receives, terminates and compares.
#include "exports/export.h"
#include "frame/step_frame.h"
#include "frame/text.h"
#include "instruments/serial_text.h"

#include <kora/step_methods.h>
#include <rvoapi.h>
#include <winapi.h>

#include <cstdlib>
#include <cstring>

namespace kora {
namespace {

constexpr const char* kPorts =
    "COM1,COM2,COM3,COM4,COM5,COM6,COM7,COM8,COM9,COM10,COM11,COM12,COM13,COM14,COM15,COM16";
constexpr const char* kTermKeyword = "TERM";
constexpr const char* kTermZero = "0";
constexpr const char* kSettingsGroup = "SETTINGS";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kPreviousHeading = "PREVIOUS\n";
constexpr const char* kBadDataBits = "Bits per byte out of range [5...8]";
constexpr const char* kBadParity = "Parity out of range [N|O|E]";
constexpr const char* kBadStopBits = "Stop bit selector out of range [1|2|3=1.5]";
constexpr const char* kNullBuffer = "pBUFFER=NULL";
constexpr const char* kNotAvailable = "%s interface not available";
constexpr const char* kCreateFailed = "CreateFileA: WINDOWS LastError=%lu";
constexpr const char* kInvalidParameter = "Invalid %s parameter";
constexpr const char* kSetStateFailed = "SetCommState: WINDOWS LastError=%lu";
constexpr const char* kGetState = "GetCommState";
constexpr const char* kGetTimeouts = "GetCommTimeouts";
constexpr const char* kSetTimeouts = "SetCommTimeouts";
constexpr const char* kWriteFailed = "WriteFile: %lu of %lu Bytes written - WINDOWS LastError=%lu)";
constexpr const char* kReadFailed = "ReadFile: WINDOWS LastError %lu";
constexpr const char* kReadTooLong = "ReadLenght > Internal buffer size";
constexpr const char* kNoTermRoom = "Not enough space for term chars";
constexpr std::size_t kOpenMessageSize = 129; // open failures: 128 characters at most
constexpr std::size_t kInternalBufferSize = 1024;
constexpr long kSecondsWord = 0x510;
constexpr long kUnitCount = 2;
constexpr long kUnitFails = 4;
constexpr int kDevChanArgument = 6;
constexpr DWORD kReadWriteAccess = 0xC0000000u;
constexpr DWORD kFirstIntervalMs = 10;
constexpr DWORD kFirstTotalMs = 1000;

struct ConfRecord {
    StepHead head; // selector: port index + 1, 0 when not set up
    int32_t txTimeout;
    int32_t rxTimeout;
    int32_t baudRate, dataBits, stopBits, parity;                 // new settings
    int32_t prevBaudRate, prevDataBits, prevStopBits, prevParity; // read from the port
};

struct WriteRecord {
    StepHead head; // selector: port index + 1
    int32_t length;
    int32_t written;
};

struct ReadRecord {
    StepHead head; // selector: port index + 1
    int32_t length;
    int32_t read;
    int32_t termChar;
    int32_t termCount;
    int32_t compare;
    unsigned char buffer[kInternalBufferSize];
};

bool Refuse(StepError& error, const char* devChanAttr) {
    rvo_SetSTEPResult(-2);
    return error.Set(ParamError(kDevChanArgument), OrNull(devChanAttr));
}

// Splits DevChanAttr and matches the port; its index + 1, or 0 with the error set.
int CompilePort(StepError& error, StepHead& head, const char* devChanAttr, const char* method,
                long option) {
    if (!CompileDevChanAttr(error, head, devChanAttr, method, option)) {
        return 0;
    }
    const int port = MatchKeyword(head.parts.device, kPorts);
    if (port == 0) {
        Refuse(error, devChanAttr);
    }
    return port;
}

// The port record of a step set up on this bench, or null with 0x81000006.
SerialPortRecord* PortOf(StepError& error, BenchRecord& bench, const StepHead& head,
                         const char* devChanAttr) {
    if (head.selector < 1 || head.selector > kSerialPorts) {
        Refuse(error, devChanAttr);
        return nullptr;
    }
    return &bench.serial[head.selector - 1];
}

// Opens a port the first time: its state, and the first time-outs.
bool OpenPort(StepError& error, SerialPortRecord& port, const char* name) {
    HANDLE h = CreateFileA(name, kReadWriteAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD last = GetLastError();
        char text[kOpenMessageSize];
        if (last == ERROR_FILE_NOT_FOUND) {
            FormatText(text, sizeof text, kNotAvailable, name);
        } else {
            FormatText(text, sizeof text, kCreateFailed, static_cast<unsigned long>(last));
        }
        return error.Set(kErrFunction, text);
    }
    // A port whose opening fails halfway is closed again, so the next CONF_SERIAL starts over.
    auto fail = [&](const char* text) {
        CloseHandle(h);
        port.port = nullptr;
        return error.Set(kErrFunction, text);
    };
    port.port = h;
    if (!GetCommState(h, &port.dcb)) {
        return fail(kGetState);
    }
    if (!GetCommTimeouts(h, &port.timeouts)) {
        return fail(kGetTimeouts);
    }
    port.timeouts.ReadIntervalTimeout = kFirstIntervalMs;
    port.timeouts.ReadTotalTimeoutMultiplier = 0;
    port.timeouts.ReadTotalTimeoutConstant = kFirstTotalMs;
    port.timeouts.WriteTotalTimeoutMultiplier = 0;
    port.timeouts.WriteTotalTimeoutConstant = kFirstTotalMs;
    if (!SetCommTimeouts(h, &port.timeouts)) {
        return fail(kSetTimeouts);
    }
    port.opened = 1;
    return true;
}

void CompileConf(StepPass<ConfRecord>& pass, const char* devChanAttr, long txTimeout,
                 long rxTimeout) {
    ConfRecord& r = *pass.record;
    r.head.selector = 0;
    const int port = CompilePort(pass.error, r.head, devChanAttr, pass.call.methodName, 1);
    if (port == 0) {
        return;
    }
    SerialFormat format{};
    switch (CheckSerialFormat(r.head.parts.function, &format)) {
    case SerialFormatCheck::DataBits:
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(kDevChanArgument), kBadDataBits);
        return;
    case SerialFormatCheck::Parity:
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(kDevChanArgument), kBadParity);
        return;
    case SerialFormatCheck::StopBits:
        rvo_SetSTEPResult(-2);
        pass.error.Set(ParamError(kDevChanArgument), kBadStopBits);
        return;
    case SerialFormatCheck::MissingLetter:
        Refuse(pass.error, devChanAttr);
        return;
    case SerialFormatCheck::Ok:
        break;
    }
    r.head.selector = port;
    r.baudRate = static_cast<int32_t>(CLocaleAtol(r.head.parts.channel));
    r.dataBits = format.dataBits;
    r.parity = format.parity;
    r.stopBits = format.stopBits;
    r.txTimeout = static_cast<int32_t>(txTimeout);
    r.rxTimeout = static_cast<int32_t>(rxTimeout);
    const char* group = pass.call.methodName;
    rvo_DefineAttrI("TxTimeout", group, &r.txTimeout, kSecondsWord, nullptr);
    rvo_DefineAttrI("RxTimeout", group, &r.rxTimeout, kSecondsWord, nullptr);
    rvo_DefineAttrI("Baudrate", kSettingsGroup, &r.baudRate, 0, nullptr);
    rvo_DefineAttrI("ByteBits", kSettingsGroup, &r.dataBits, 0, nullptr);
    rvo_DefineAttrI("StopBits", kSettingsGroup, &r.stopBits, 0, nullptr);
    rvo_DefineAttrI("Parity", kSettingsGroup, &r.parity, 0, nullptr);
    rvo_DefineAttrS("", kSettingsGroup, kPreviousHeading, 0, nullptr);
    rvo_DefineAttrI("Baudrate", kSettingsGroup, &r.prevBaudRate, 0, nullptr);
    rvo_DefineAttrI("ByteBits", kSettingsGroup, &r.prevDataBits, 0, nullptr);
    rvo_DefineAttrI("StopBits", kSettingsGroup, &r.prevStopBits, 0, nullptr);
    rvo_DefineAttrI("Parity", kSettingsGroup, &r.prevParity, 0, nullptr);
}

EN_NEV_RESULT RunConf(StepPass<ConfRecord>& pass, const char* devChanAttr, long txTimeout,
                      long rxTimeout) {
    ConfRecord& r = *pass.record;
    SerialPortRecord* port = PortOf(pass.error, *pass.bench, r.head, devChanAttr);
    if (!port) {
        return -2;
    }
    const char* name = r.head.parts.device;
    if (!port->opened && !OpenPort(pass.error, *port, name)) {
        return -2;
    }
    if (!GetCommState(port->port, &port->dcb)) {
        pass.error.Set(kErrFunction, kGetState);
        return -2;
    }
    const struct {
        int32_t* field;
        int32_t value;
    } previous[] = {{&r.prevBaudRate, static_cast<int32_t>(port->dcb.BaudRate)},
                    {&r.prevDataBits, port->dcb.ByteSize},
                    {&r.prevStopBits, port->dcb.StopBits},
                    {&r.prevParity, port->dcb.Parity}};
    for (const auto& p : previous) {
        *p.field = p.value;
        rvo_UpdateAttrI(r.head.component, p.field);
    }
    port->dcb.BaudRate = static_cast<DWORD>(r.baudRate);
    port->dcb.ByteSize = static_cast<BYTE>(r.dataBits);
    port->dcb.Parity = static_cast<BYTE>(r.parity);
    port->dcb.StopBits = static_cast<BYTE>(r.stopBits);
    if (!SetCommState(port->port, &port->dcb)) {
        const DWORD last = GetLastError();
        if (last == ERROR_INVALID_PARAMETER) {
            pass.error.SetF(kErrFunction, kInvalidParameter, name);
        } else {
            pass.error.SetF(kErrFunction, kSetStateFailed, static_cast<unsigned long>(last));
        }
        return -2;
    }
    if (txTimeout != 0) {
        port->timeouts.WriteTotalTimeoutMultiplier = 0;
        port->timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(txTimeout);
    }
    if (rxTimeout != 0) {
        port->timeouts.ReadTotalTimeoutMultiplier = 0;
        port->timeouts.ReadTotalTimeoutConstant = static_cast<DWORD>(rxTimeout);
    }
    if ((txTimeout != 0 || rxTimeout != 0) && !SetCommTimeouts(port->port, &port->timeouts)) {
        pass.error.Set(kErrFunction, kSetTimeouts);
        return -2;
    }
    return static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, pass.call.stepName, pass.call.lineCode, 0,
                                                  name, "", "", 0, 0.0, devChanAttr,
                                                  pass.call.comment));
}

// Number of positions below `count` where the received bytes differ from the expected ones.
int32_t CountDifferences(const unsigned char* got, const char* expected, long count) {
    int32_t n = 0;
    for (long i = 0; i < count; ++i) {
        n += got[i] != static_cast<unsigned char>(expected[i]);
    }
    return n;
}

EN_NEV_RESULT RunRead(StepPass<ReadRecord>& pass, const char* devChanAttr, char* buffer,
                      long rdLength, long* readCount, const char* expected) {
    ReadRecord& r = *pass.record;
    r.length = static_cast<int32_t>(rdLength);
    rvo_UpdateAttrI(r.head.component, &r.length);
    SerialPortRecord* port = PortOf(pass.error, *pass.bench, r.head, devChanAttr);
    if (!port) {
        return -2;
    }
    const long n = rdLength < 0 ? -rdLength : rdLength;
    unsigned char* into = reinterpret_cast<unsigned char*>(buffer);
    if (!into) {
        if (n > static_cast<long>(kInternalBufferSize)) {
            pass.error.Set(kErrFunction, kReadTooLong);
            return -2;
        }
        into = r.buffer;
    }
    DWORD got = 0;
    if (!ReadFile(port->port, into, static_cast<DWORD>(n), &got, nullptr)) {
        pass.error.SetF(kErrFunction, kReadFailed, static_cast<unsigned long>(GetLastError()));
        return -2;
    }
    const long count = static_cast<long>(got);
    r.read = static_cast<int32_t>(count);
    rvo_UpdateAttrI(r.head.component, &r.read);
    if (r.termCount > 0) {
        if (n - count < r.termCount) {
            pass.error.Set(kErrFunction, kNoTermRoom);
            return -2;
        }
        into[count] = static_cast<unsigned char>(r.termChar);
    }
    if (readCount) {
        *readCount = count;
    }
    const bool term = r.termCount > 0;
    char display[kByteDisplaySize];
    if (!term) {
        FormatByteDisplay(into, static_cast<std::size_t>(count), display);
    }
    // The executive compares a terminated text with the expected one; bytes are only shown.
    const bool checked = term && expected;
    rvo_VerifyS(0, pass.call.stepName, pass.call.lineCode, checked ? 1 : 0,
                term ? reinterpret_cast<const char*>(into) : display, term ? "=" : "",
                term ? expected : "", checked ? RVO_VERDICT_EXECUTIVE : 0, 0.0, devChanAttr,
                pass.call.comment);
    long stepResult = rdLength < 0 ? (count <= n ? 1 : -1) : (count == n ? 1 : -1);
    if (expected) {
        const long length = term ? static_cast<long>(std::strlen(expected)) : n;
        r.compare = length != count ? -static_cast<int32_t>(std::labs(length - count))
                                    : CountDifferences(into, expected, count);
        rvo_UpdateAttrI(r.head.component, &r.compare);
        if (r.compare != 0) {
            stepResult = -1;
        }
    }
    rvo_SetSTEPResult(stepResult);
    return stepResult > 0 ? 0 : -1;
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT CONF_SERIAL(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      long TxTimeout, long RxTimeout) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "CONF_SERIAL"};
    return RunStandardPass<ConfRecord>(
        call, kKindNone, true,
        [&](auto& pass) { CompileConf(pass, DevChanAttr, TxTimeout, RxTimeout); },
        [&](auto& pass) -> EN_NEV_RESULT {
            EN_NEV_RESULT result = RunConf(pass, DevChanAttr, TxTimeout, RxTimeout);
            if (pass.error.failed()) {
                rvo_SetSTEPResult(-2);
            }
            return result;
        });
}

KORA_EXPORT EN_NEV_RESULT WRITE_SERIAL(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr,
                                       const char* Buffer, long FWrLength, long* Written) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "WRITE_SERIAL"};
    return RunStandardPass<WriteRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            WriteRecord& r = *pass.record;
            r.head.selector = CompilePort(pass.error, r.head, DevChanAttr, call.methodName, 0);
            r.length = static_cast<int32_t>(FWrLength);
            if (r.head.selector != 0) {
                rvo_DefineAttrI("FWrLength", call.methodName, &r.length, kUnitCount, nullptr);
                rvo_DefineAttrI("Written", kDetails, &r.written, kUnitCount, nullptr);
            }
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            WriteRecord& r = *pass.record;
            r.length = static_cast<int32_t>(FWrLength);
            rvo_UpdateAttrI(r.head.component, &r.length);
            SerialPortRecord* port = PortOf(pass.error, *pass.bench, r.head, DevChanAttr);
            if (!port) {
                return -2;
            }
            if (!Buffer) {
                rvo_SetSTEPResult(-2);
                pass.error.Set(ParamError(kDevChanArgument + 1), kNullBuffer);
                return -2;
            }
            const DWORD length = FWrLength == 0 ? static_cast<DWORD>(std::strlen(Buffer))
                                                : static_cast<DWORD>(FWrLength);
            DWORD written = 0;
            if (!WriteFile(port->port, Buffer, length, &written, nullptr)) {
                rvo_SetSTEPResult(-2);
                pass.error.SetF(kErrFunction, kWriteFailed, static_cast<unsigned long>(written),
                                static_cast<unsigned long>(length),
                                static_cast<unsigned long>(GetLastError()));
                return -2;
            }
            r.written = static_cast<int32_t>(written);
            rvo_UpdateAttrI(r.head.component, &r.written);
            char display[kByteDisplaySize];
            if (FWrLength != 0) {
                FormatByteDisplay(reinterpret_cast<const unsigned char*>(Buffer), written, display);
            }
            const EN_NEV_RESULT result = static_cast<EN_NEV_RESULT>(
                rvo_VerifyS(0, stepName, lineCode, 0, FWrLength == 0 ? Buffer : display, "", "", 0,
                            0.0, DevChanAttr, comment));
            if (Written) {
                *Written = static_cast<long>(written);
            }
            return result;
        });
}

KORA_EXPORT EN_NEV_RESULT READ_SERIAL(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      char* Buffer, long RdLength, long* ReadCount,
                                      const char* Expected) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "READ_SERIAL"};
    return RunStandardPass<ReadRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ReadRecord& r = *pass.record;
            r.head.selector = 0;
            const int port = CompilePort(pass.error, r.head, DevChanAttr, call.methodName, 0);
            if (port == 0) {
                return;
            }
            r.termCount = 0;
            r.termChar = 0;
            if (std::strcmp(r.head.parts.function, kTermKeyword) == 0) {
                if (std::strcmp(r.head.parts.suffix, kTermZero) != 0) {
                    Refuse(pass.error, DevChanAttr);
                    return;
                }
                r.termCount = 1;
            }
            r.head.selector = port;
            r.length = static_cast<int32_t>(RdLength);
            rvo_DefineAttrI("RdLength", call.methodName, &r.length, 0, nullptr);
            rvo_DefineAttrI("Read", kDetails, &r.read, kUnitCount, nullptr);
            if (r.termCount > 0) {
                rvo_DefineAttrI("TermChar", kDetails, &r.termChar, 0, "BYTE");
            }
            rvo_DefineAttrI("Compare", kDetails, &r.compare, kUnitFails, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            const EN_NEV_RESULT result =
                RunRead(pass, DevChanAttr, Buffer, RdLength, ReadCount, Expected);
            if (pass.error.failed()) {
                rvo_SetSTEPResult(-2);
            }
            return result;
        });
}
