// Hooks of the operating-system layer for the rest of the platform (not for libkora): the
// virtual bench installs its clock here so that every wait of the library advances virtual time
// instead of sleeping.
#pragma once

#include <cstdint>

#if defined(__GNUC__)
#define KORA_OS_HOOK_API __attribute__((visibility("default")))
#else
#define KORA_OS_HOOK_API
#endif

// Called by Sleep and SleepEx with the requested milliseconds (INFINITE as 0xFFFFFFFF) instead of
// sleeping; the call returns when the wait is over. Several threads may be inside the hook at
// once. The hook must not call Sleep, SleepEx or KoraOsSetSleepHook itself, and should let other
// threads run (yield) when it does not block, since callers poll with short sleeps.
using KoraOsSleepHook = void (*)(uint32_t milliseconds, void* context);

// Installs a sleep hook with its context; null restores real sleeping. When this returns, no call
// of the previous hook is running any more and none will start.
KORA_OS_HOOK_API void KoraOsSetSleepHook(KoraOsSleepHook hook, void* context);

// The platform's monotonic time in seconds, for the stand-ins' time stamps (the executive's
// rvo_TSTAMP): the clock hook's answer while one is installed, else the steady clock of the system.
using KoraOsClockHook = double (*)(void* context);
KORA_OS_HOOK_API void KoraOsSetClockHook(KoraOsClockHook hook, void* context);
KORA_OS_HOOK_API double KoraOsMonotonicSeconds();
