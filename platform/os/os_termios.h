// Translation between the port settings of the target platform (DCB) and POSIX terminal settings.
// Internal to the operating-system layer; exported only so that tests can check the translation
// for settings a pseudo-terminal does not keep (Linux forces 8 data bits and no parity on them).
#pragma once

#include <termios.h>

#include "winapi.h"

#if defined(__GNUC__)
#define KORA_OS_INTERNAL_API __attribute__((visibility("default")))
#else
#define KORA_OS_INTERNAL_API
#endif

namespace kora::os {

// The port rules of the target platform: 5..8 data bits, 1.5 stop bits only with 5 data bits,
// 2 stop bits not with 5, a known parity, a baud rate the terminal can take.
KORA_OS_INTERNAL_API bool DcbIsValid(const DCB& dcb);

// Puts speed, data bits, parity, stop bits, input parity check and handshakes of a valid dcb
// into settings; other terminal flags stay.
KORA_OS_INTERNAL_API void TermiosFromDcb(const DCB& dcb, termios& settings);

// The reverse: fills the fields of dcb that the terminal settings know; other fields stay.
KORA_OS_INTERNAL_API void DcbFromTermios(const termios& settings, DCB& dcb);

// The port settings a port starts with when it is no terminal: 9600 baud, 8N1.
KORA_OS_INTERNAL_API DCB DefaultDcb();

} // namespace kora::os
