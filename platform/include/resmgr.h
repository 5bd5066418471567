/* The resource manager (RESMGR): configuration files, named resources, driver sessions, device
 * locks and the trace.
 *
 * On the target platform this is a closed library; platform/resmgr implements it over two INI
 * files. The library reaches it only through this header.
 *
 * Conventions of every call except the three trace calls:
 * - The first argument is reserved and must be 0.
 * - The last three arguments are a warning out-value, an error out-value and a message buffer of
 *   RESMGR_MESSAGE_SIZE (1024) bytes. Any of the three may be null. On success error is 0 and the
 *   message is empty; a warning (positive code) fills the message with the warning's text; an
 *   error (negative code) fills it with the error's text and the detail (file, section, key, ...).
 *   The message is always terminated and never written past RESMGR_MESSAGE_SIZE bytes.
 * - The return value equals the error out-value.
 * - Numbers passed in are `long`; numbers handed back are `int32_t`. Resource and session
 *   handles are positive 32-bit numbers.
 *
 * Files: 0 is the physical layer file, 1 the software configuration. Section and key names are
 * matched without regard to ASCII case and handed back as written in the file; sections and keys
 * are listed in file order, indexes count from 1. See platform/resmgr/ini_file.h for the format.
 *
 * Resources are sections of the software configuration, allocated by name. A section with the key
 * "Type = BENCH" is a bench (type RESMGR_RESOURCE_BENCH, 2), any other section of the software
 * configuration has type RESMGR_RESOURCE_SECTION; a name NAME without such a section that has a
 * "device->NAME" section in the physical layer file is a device (RESMGR_RESOURCE_DEVICE).
 *
 * Sessions join a resource and a device (or group) name; "device->NAME" and "NAME" are the same
 * device. A device is shared by every resource that opens it: Open_Session reports whether it was
 * the device's first session, Close_Session whether it was the last one. Opening the same
 * resource/device pair again returns the same session and must be matched by one more close. */
#ifndef KORA_PLATFORM_RESMGR_H
#define KORA_PLATFORM_RESMGR_H

#include <stdint.h>

#if defined(__GNUC__)
#define RESMGR_API __attribute__((visibility("default")))
#else
#define RESMGR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define RESMGR_MESSAGE_SIZE 1024 /* message buffer of every call */
#define RESMGR_NAME_SIZE 64      /* section and key names of the Nth_* calls */
#define RESMGR_VALUE_SIZE 1024   /* key value of RESMGR_Nth_Key_Value */
#define RESMGR_VERSION_SIZE 256  /* version text of RESMGR_Lib_Version */

/* File numbers. */
#define RESMGR_FILE_PHYSICAL 0
#define RESMGR_FILE_SOFTWARE 1

/* Status of RESMGR_Get_Key_Value. */
#define RESMGR_KEY_MISSING 0
#define RESMGR_KEY_FOUND 1

/* Resource types. */
#define RESMGR_RESOURCE_SECTION 1
#define RESMGR_RESOURCE_BENCH 2
#define RESMGR_RESOURCE_DEVICE 3

/* Codes and their texts: X(name, value, text). Negative values are errors, positive warnings. */
#define RESMGR_CODE_TABLE(X)                                                                       \
    X(RESMGR_ERR_INVALID_ARGUMENT, -17001, "Invalid argument")                                     \
    X(RESMGR_ERR_NOT_SET_UP, -17002,                                                               \
      "Resource manager not set up: no configuration files loaded (RESMGR_Setup)")                 \
    X(RESMGR_ERR_FILE_OPEN, -17003, "Cannot read configuration file")                              \
    X(RESMGR_ERR_FILE_SYNTAX, -17004, "Syntax error in configuration file")                        \
    X(RESMGR_ERR_INVALID_FILE, -17005,                                                             \
      "Invalid file number (0 = physical layer file, 1 = software configuration)")                 \
    X(RESMGR_ERR_SECTION_NOT_FOUND, -17006, "Section not found")                                   \
    X(RESMGR_ERR_INDEX_RANGE, -17007, "Index out of range")                                        \
    X(RESMGR_ERR_UNKNOWN_RESOURCE, -17008, "Resource not found in the configuration")              \
    X(RESMGR_ERR_INVALID_RESOURCE, -17009, "Invalid resource handle")                              \
    X(RESMGR_ERR_DEVICE_NOT_FOUND, -17010, "Device section not found in the physical layer file")  \
    X(RESMGR_ERR_NO_SESSION, -17011, "No open session")                                            \
    X(RESMGR_ERR_NO_HANDLE, -17012, "No driver handle registered for the device")                  \
    X(RESMGR_ERR_LOCK_TIMEOUT, -17013, "Device locked by another thread: time-out")                \
    X(RESMGR_ERR_NOT_LOCKED, -17014, "Device is not locked")                                       \
    X(RESMGR_ERR_NOT_LOCK_OWNER, -17015, "Device is locked by another thread")                     \
    X(RESMGR_ERR_TRACE_FILE, -17016, "Cannot write the trace file")                                \
    X(RESMGR_ERR_INTERNAL, -17017, "Internal error of the resource manager")                       \
    X(RESMGR_WARN_VALUE_CUT, 17101, "Text cut to the size of the buffer")                          \
    X(RESMGR_WARN_KEY_MISSING, 17102, "Key not found, empty value returned")                       \
    X(RESMGR_WARN_ALREADY_LOCKED, 17103, "Device already locked by the calling thread")            \
    X(RESMGR_WARN_TRACING_OFF, 17104, "Tracing is off, nothing written")

#define RESMGR_CODE_ENUM_ENTRY(name, value, text) name = (value),
enum { RESMGR_CODE_TABLE(RESMGR_CODE_ENUM_ENTRY) };
#undef RESMGR_CODE_ENUM_ENTRY

/* ---- configuration files -------------------------------------------------------------------- */

/* Loads both files; on success later reads answer from them. Several threads may call it (each
 * executive thread that sets up): the files are reloaded, resources and sessions are kept, and
 * everything lives until the last of these threads calls RESMGR_Cleanup. On failure nothing
 * changes and the message names the file (and the line of a syntax error). */
RESMGR_API int32_t RESMGR_Setup(long reserved, const char* physicalLayerFile,
                                const char* softwareConfigFile, int32_t* warning, int32_t* error,
                                char* message);

/* Ends the calling thread's use: releases the device locks it holds; the last thread releases the
 * files, resources, sessions, handles and trace flags. Without any setup it does nothing. */
RESMGR_API int32_t RESMGR_Cleanup(long reserved, int32_t* warning, int32_t* error, char* message);

/* Value of a key, cut to valueSize - 1 characters (warning RESMGR_WARN_VALUE_CUT). A missing
 * section or key is no error: status RESMGR_KEY_MISSING and an empty value. */
RESMGR_API int32_t RESMGR_Get_Key_Value(long reserved, long file, const char* section,
                                        const char* key, char* value, long valueSize,
                                        int32_t* status, int32_t* warning, int32_t* error,
                                        char* message);

RESMGR_API int32_t RESMGR_Number_Of_Sections(long reserved, long file, int32_t* count,
                                             int32_t* warning, int32_t* error, char* message);

/* index 1..count; name: RESMGR_NAME_SIZE bytes. */
RESMGR_API int32_t RESMGR_Nth_Section_Name(long reserved, long file, long index, char* name,
                                           int32_t* warning, int32_t* error, char* message);

/* A missing section is RESMGR_ERR_SECTION_NOT_FOUND; an empty one has 0 keys. */
RESMGR_API int32_t RESMGR_Number_Of_Keys(long reserved, long file, const char* section,
                                         int32_t* count, int32_t* warning, int32_t* error,
                                         char* message);

/* index 1..count; name: RESMGR_NAME_SIZE bytes. Duplicate keys are listed as often as written. */
RESMGR_API int32_t RESMGR_Nth_Key_Name(long reserved, long file, const char* section, long index,
                                       char* name, int32_t* warning, int32_t* error, char* message);

/* index 1..count; value: RESMGR_VALUE_SIZE bytes. */
RESMGR_API int32_t RESMGR_Nth_Key_Value(long reserved, long file, const char* section, long index,
                                        char* value, int32_t* warning, int32_t* error,
                                        char* message);

/* ---- resources ------------------------------------------------------------------------------ */

/* Handle of a named resource (see above). Allocating a name again returns the same handle and
 * counts one more allocation. */
RESMGR_API int32_t RESMGR_Alloc_Resource(long reserved, const char* resourceName, int32_t* resource,
                                         int32_t* warning, int32_t* error, char* message);

RESMGR_API int32_t RESMGR_Get_Resource_Type(long reserved, long resource, int32_t* type,
                                            int32_t* warning, int32_t* error, char* message);

/* Counts one allocation down; the handle goes when no allocation and no session is left. */
RESMGR_API int32_t RESMGR_Free_Resource(long reserved, long resource, int32_t* warning,
                                        int32_t* error, char* message);

/* A key of the device's physical layer section ("device->NAME"; "NAME" alone is accepted).
 * A missing key gives an empty value and the warning RESMGR_WARN_KEY_MISSING; a missing section
 * is the error RESMGR_ERR_DEVICE_NOT_FOUND. */
RESMGR_API int32_t RESMGR_Get_Value(long reserved, long resource, const char* deviceSection,
                                    const char* key, char* value, long valueSize, int32_t* warning,
                                    int32_t* error, char* message);

/* ---- sessions and locks --------------------------------------------------------------------- */

/* first: 1 when the device had no open session before (the caller initialises the driver). */
RESMGR_API int32_t RESMGR_Open_Session(long reserved, long resource, const char* device,
                                       int32_t* session, int32_t* first, int32_t* warning,
                                       int32_t* error, char* message);

/* last: 1 when no session of the device is left (the caller closes the driver). */
RESMGR_API int32_t RESMGR_Close_Session(long reserved, long resource, const char* device,
                                        int32_t* last, int32_t* warning, int32_t* error,
                                        char* message);

/* Stores the driver handle with the device; the resource must hold a session of it. */
RESMGR_API int32_t RESMGR_Set_Session_Handle(long reserved, long resource, const char* device,
                                             long driverHandle, int32_t* warning, int32_t* error,
                                             char* message);

/* The driver handle stored for a device or group name with an open session; resource may be 0. */
RESMGR_API int32_t RESMGR_Get_Session_Handle(long reserved, long resource, const char* device,
                                             int32_t* driverHandle, int32_t* warning,
                                             int32_t* error, char* message);

/* Exclusive use of a device across threads. A lock held by another thread is waited for up to
 * timeoutMs milliseconds (0: no wait), then RESMGR_ERR_LOCK_TIMEOUT. Locking a device the calling
 * thread already holds succeeds at once with the warning RESMGR_WARN_ALREADY_LOCKED and does not
 * nest: one unlock releases it. */
RESMGR_API int32_t RESMGR_Lock_Device(long reserved, long resource, const char* device,
                                      long timeoutMs, int32_t* warning, int32_t* error,
                                      char* message);

RESMGR_API int32_t RESMGR_Unlock_Device(long reserved, long resource, const char* device,
                                        int32_t* warning, int32_t* error, char* message);

/* ---- trace ---------------------------------------------------------------------------------- */
/* The trace goes to the file named by the environment variable KORA_RESMGR_TRACE (appended), else
 * it is kept in memory. Tracing starts off. */

/* Master switch of all trace output. Returns 0. */
RESMGR_API int32_t RESMGR_Enable_Tracing(long on);

/* Marks one session (any session or driver handle number) as traced: while tracing is on, the
 * resource manager writes a line for each close, lock, unlock and handle registration of a traced
 * session, and drivers may write their calls for it. Returns 0. */
RESMGR_API int32_t RESMGR_Set_Trace_Flag(long session, long on);

/* Appends the text as one line (each line of a multi-line text separately) while tracing is on.
 * Returns 0, RESMGR_WARN_TRACING_OFF when tracing is off, or a negative error. */
RESMGR_API int32_t RESMGR_Trace(const char* text);

/* ---- version -------------------------------------------------------------------------------- */

/* version: RESMGR_VERSION_SIZE bytes. */
RESMGR_API int32_t RESMGR_Lib_Version(long reserved, char* version, int32_t* warning,
                                      int32_t* error, char* message);

#ifdef __cplusplus
}
#endif

#endif /* KORA_PLATFORM_RESMGR_H */
