// Translation between DCB and termios settings (see os_termios.h).
#include "os_termios.h"

#include <cstdint>
#include <optional>

namespace kora::os {
namespace {

// ---- baud rates -------------------------------------------------------------------------------

struct BaudEntry {
    DWORD rate;
    speed_t speed;
};

constexpr BaudEntry kBaudTable[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

std::optional<speed_t> SpeedOfBaud(DWORD rate) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.rate == rate) {
            return entry.speed;
        }
    }
    return std::nullopt;
}

DWORD BaudOfSpeed(speed_t speed) {
    for (const BaudEntry& entry : kBaudTable) {
        if (entry.speed == speed) {
            return entry.rate;
        }
    }
    return 0;
}

} // namespace

// Fills the fields of dcb that termios knows from the terminal's settings.
void DcbFromTermios(const termios& settings, DCB& dcb) {
    dcb.BaudRate = BaudOfSpeed(cfgetospeed(&settings));
    switch (settings.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if ((settings.c_cflag & PARENB) == 0) {
        dcb.Parity = NOPARITY;
    } else {
#ifdef CMSPAR
        if ((settings.c_cflag & CMSPAR) != 0) {
            dcb.Parity = (settings.c_cflag & PARODD) != 0 ? MARKPARITY : SPACEPARITY;
        } else
#endif
        {
            dcb.Parity = (settings.c_cflag & PARODD) != 0 ? ODDPARITY : EVENPARITY;
        }
    }
    if ((settings.c_cflag & CSTOPB) == 0) {
        dcb.StopBits = ONESTOPBIT;
    } else {
        // A UART sends one and a half stop bits for "two" at five data bits.
        dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
    }
    dcb.fParity = (settings.c_iflag & INPCK) != 0 ? 1 : 0;
    const bool hardwareFlow = (settings.c_cflag & CRTSCTS) != 0;
    dcb.fOutxCtsFlow = hardwareFlow ? 1 : 0;
    dcb.fRtsControl = hardwareFlow ? RTS_CONTROL_HANDSHAKE
                                   : (dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? RTS_CONTROL_ENABLE
                                                                               : dcb.fRtsControl);
    dcb.fOutX = (settings.c_iflag & IXON) != 0 ? 1 : 0;
    dcb.fInX = (settings.c_iflag & IXOFF) != 0 ? 1 : 0;
}

// The port rules of the target platform: 5..8 data bits, 1.5 stop bits only with 5 data bits,
// 2 stop bits not with 5, a baud rate the port can take.
bool DcbIsValid(const DCB& dcb) {
    if (dcb.ByteSize < 5 || dcb.ByteSize > 8) {
        return false;
    }
    switch (dcb.Parity) {
    case NOPARITY:
    case ODDPARITY:
    case EVENPARITY:
#ifdef CMSPAR
    case MARKPARITY:
    case SPACEPARITY:
#endif
        break;
    default:
        return false;
    }
    switch (dcb.StopBits) {
    case ONESTOPBIT:
        break;
    case ONE5STOPBITS:
        if (dcb.ByteSize != 5) {
            return false;
        }
        break;
    case TWOSTOPBITS:
        if (dcb.ByteSize == 5) {
            return false;
        }
        break;
    default:
        return false;
    }
    return SpeedOfBaud(dcb.BaudRate).has_value();
}

void TermiosFromDcb(const DCB& dcb, termios& settings) {
    const speed_t speed = *SpeedOfBaud(dcb.BaudRate);
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
    settings.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag |= kSizes[dcb.ByteSize - 5];
    switch (dcb.Parity) {
    case ODDPARITY:
        settings.c_cflag |= PARENB | PARODD;
        break;
    case EVENPARITY:
        settings.c_cflag |= PARENB;
        break;
#ifdef CMSPAR
    case MARKPARITY:
        settings.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case SPACEPARITY:
        settings.c_cflag |= PARENB | CMSPAR;
        break;
#endif
    default:
        break;
    }
    if (dcb.StopBits != ONESTOPBIT) {
        settings.c_cflag |= CSTOPB;
    }
    if (dcb.fOutxCtsFlow != 0 || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE) {
        settings.c_cflag |= CRTSCTS;
    }
    settings.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
    if (dcb.fParity != 0 && dcb.Parity != NOPARITY) {
        settings.c_iflag |= INPCK;
    }
    if (dcb.fOutX != 0) {
        settings.c_iflag |= IXON;
    }
    if (dcb.fInX != 0) {
        settings.c_iflag |= IXOFF;
    }
}

DCB DefaultDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = CBR_9600;
    dcb.fBinary = 1;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return dcb;
}

} // namespace kora::os
