// Device and bench records: resetting them, reading a device's configuration, and opening a
// device whose sessions the resource manager keeps (ADIO modules, switch cards, ICT modules).
#pragma once

#include "bench/bench.h"
#include "frame/errors.h"

namespace kora {

// An empty slot: no session, no handle, trigger source "IMMEDIATE".
void ResetDeviceRecord(DeviceRecord& device);
// An empty bench: every slot reset, no channels; named arrays and the ICT program are the
// caller's to release first.
void ResetBenchRecord(BenchRecord& bench);

// True when the comma list of driver options holds the entry "Simulate=1" (or "Simulate=true"
// where `acceptTrue` is set, as for the multimeter and relay-module drivers).
bool HasSimulateOption(const char* driverOptions, bool acceptTrue);

// Driver kind of a device type for a device class (255 for any other type).
int32_t DriverKindOf(int deviceClass, const char* type);

// The device name of a configuration value: the text after the first "->", else the value.
const char* DeviceNameOf(const char* keyValue);

inline constexpr const char* kTypeNotFound = "%s: 'Type' entry in physical layer file not found";
inline constexpr const char* kResourceNotFound =
    "%s: 'ResourceDesc' entry in physical layer file not found";

// Opening a resource-managed device in three calls:
//   number 0   allocates the bench resource of `benchSection` into *resource (must be a bench);
//   number n>0 reads the n-th device key (`keyBase`, for n = 1 first the plain key), its "Type"
//              (passed over unless in `typeList`), "ResourceDesc" and "DriverOption", locks the
//              device and opens a session: 1 = new session (initialise the driver), -1 = the
//              session was open already (its handle is in the record), 0 = passed over;
//   number -1  registers device.handle with the session and unlocks the device.
// -2 after an error (set in `error`; a missing key is 0x81000011 "Device not defined"; a device
// without "Type" or "ResourceDesc" in the physical layer file, or without a section there, is
// 0x81000012 with the entry named).
constexpr int32_t kOpenNewSession = 1;
constexpr int32_t kOpenSessionKept = -1;
constexpr int32_t kOpenPassedOver = 0;
constexpr int32_t kOpenFailed = -2;
int32_t OpenManagedDevice(int32_t number, const char* benchSection, const char* keyBase,
                          const char* typeList, int32_t* resource, DeviceRecord& device,
                          StepError& error);

// The sessions a bench holds of managed devices (by their "device->NAME" section).
bool HoldsSession(const BenchRecord& bench, const char* section);
void NoteHeldSession(BenchRecord& bench, const char* section);
void ForgetHeldSession(BenchRecord& bench, const char* section);

} // namespace kora
