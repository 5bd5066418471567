/* The operating-system calls the library makes, with the target platform's names, types and
 * constants. This is our own declaration of the part of the Windows API that the library uses;
 * platform/os implements it on POSIX (libkora_os).
 *
 * Behaviour on POSIX:
 * - Waits (Sleep, SleepEx) go to the virtual bench clock when one is active.
 * - "COMn" (also "\\.\COMn") opens the path named by the environment variable KORA_COM<n> (a
 *   serial device, a pseudo-terminal or a plain file), else /dev/ttyS<n-1>. A terminal is put
 *   into raw mode on opening; the DCB and COMMTIMEOUTS of a plain file are kept but not applied.
 * - Process and thread priorities are kept and reported per process and per thread; the POSIX
 *   scheduler is not changed (raising it needs privileges a test station does not grant).
 * - Module names of GetModuleHandleA may be given as on the target ("NAME.dll", any letter
 *   case): a library that is not loaded under the name as given is looked for as "libNAME.so"
 *   and "NAME.so", and then by its file name without regard to case.
 * - A "COMn" redirected to a plain file is read and written like the file (reads take what
 *   the file holds and never wait); handy for running serial steps without a device.
 * - ICMP echo uses an ICMP datagram socket where the system permits one, else a raw socket;
 *   where neither is permitted IcmpCreateFile fails (ERROR_ACCESS_DENIED when refused). */
#ifndef KORA_PLATFORM_WINAPI_H
#define KORA_PLATFORM_WINAPI_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- basic types ---------------------------------------------------------------------------- */

typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t BOOL;
typedef void* HANDLE;
typedef void* HMODULE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef DWORD* LPDWORD;
typedef UCHAR* PUCHAR;
/* Address of an exported function; cast to the function's own type before calling. (Declared
 * without a result so that compilers take such casts without a function-type warning.) */
typedef void (*FARPROC)(void);
/* An IPv4 address in network byte order: the first octet of the dotted form is the byte at the
 * lowest address (a.b.c.d is a | b << 8 | c << 16 | d << 24 on a little-endian machine). */
typedef ULONG IPAddr;

/* Overlapped I/O and security attributes are not supported: pass null. */
typedef struct _OVERLAPPED OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#define INFINITE 0xFFFFFFFFu
#define MAXDWORD 0xFFFFFFFFu
#ifdef __cplusplus
/* In C++ a constant rather than a macro, so that its integer-to-pointer cast is written once. */
static const HANDLE INVALID_HANDLE_VALUE =
    reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); // NOLINT(performance-no-int-to-ptr)
#else
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#endif

/* ---- error codes of GetLastError ------------------------------------------------------------ */

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_FILE_EXISTS 80u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_ALREADY_EXISTS 183u

/* The code of the calling thread's last failing call (kept per thread). */
KORA_PLATFORM_API DWORD GetLastError(void);
KORA_PLATFORM_API void SetLastError(DWORD errorCode);

/* ---- threads, processes, waiting ------------------------------------------------------------ */

/* Id of the calling thread: the same for the life of the thread, different from the id of
 * every other thread alive at the same time. */
KORA_PLATFORM_API DWORD GetCurrentThreadId(void);

/* Pseudo handles of the calling process and thread (need not be closed). */
KORA_PLATFORM_API HANDLE GetCurrentProcess(void);
KORA_PLATFORM_API HANDLE GetCurrentThread(void);

#define IDLE_PRIORITY_CLASS 0x00000040u
#define BELOW_NORMAL_PRIORITY_CLASS 0x00004000u
#define NORMAL_PRIORITY_CLASS 0x00000020u
#define ABOVE_NORMAL_PRIORITY_CLASS 0x00008000u
#define HIGH_PRIORITY_CLASS 0x00000080u
#define REALTIME_PRIORITY_CLASS 0x00000100u

/* Priority class of the process (GetCurrentProcess()); 0 and ERROR_INVALID_HANDLE for another
 * handle. A process starts in NORMAL_PRIORITY_CLASS. */
KORA_PLATFORM_API DWORD GetPriorityClass(HANDLE process);
/* FALSE with ERROR_INVALID_HANDLE for another handle, ERROR_INVALID_PARAMETER for an unknown
 * class. */
KORA_PLATFORM_API BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);

#define THREAD_PRIORITY_IDLE (-15)
#define THREAD_PRIORITY_LOWEST (-2)
#define THREAD_PRIORITY_BELOW_NORMAL (-1)
#define THREAD_PRIORITY_NORMAL 0
#define THREAD_PRIORITY_ABOVE_NORMAL 1
#define THREAD_PRIORITY_HIGHEST 2
#define THREAD_PRIORITY_TIME_CRITICAL 15
#define THREAD_PRIORITY_ERROR_RETURN 0x7FFFFFFF

/* Priority of the calling thread (GetCurrentThread()); a thread starts at
 * THREAD_PRIORITY_NORMAL. Another handle gives THREAD_PRIORITY_ERROR_RETURN. */
KORA_PLATFORM_API int GetThreadPriority(HANDLE thread);
/* FALSE with ERROR_INVALID_HANDLE for another handle, ERROR_INVALID_PARAMETER for a priority
 * that is not one of THREAD_PRIORITY_…. */
KORA_PLATFORM_API BOOL SetThreadPriority(HANDLE thread, int priority);

/* Suspends the calling thread for milliseconds (INFINITE: for ever). */
KORA_PLATFORM_API void Sleep(DWORD milliseconds);
#define WAIT_IO_COMPLETION 0x000000C0u
/* As Sleep; returns 0 (no asynchronous procedure calls are ever queued here). */
KORA_PLATFORM_API DWORD SleepEx(DWORD milliseconds, BOOL alertable);

/* ---- files ---------------------------------------------------------------------------------- */

/* Copies a file's content and permission bits. With failIfExists an existing newFileName is
 * ERROR_FILE_EXISTS; otherwise it is overwritten. Copying a file onto itself is
 * ERROR_SHARING_VIOLATION. */
KORA_PLATFORM_API BOOL CopyFileA(LPCSTR existingFileName, LPCSTR newFileName, BOOL failIfExists);

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define CREATE_NEW 1u
#define CREATE_ALWAYS 2u
#define OPEN_EXISTING 3u
#define OPEN_ALWAYS 4u
#define TRUNCATE_EXISTING 5u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u

/* Opens a serial port ("COMn") or a file. shareMode 0 asks for exclusive use: a port or file
 * that is already open for exclusive use elsewhere is ERROR_ACCESS_DENIED (port) or
 * ERROR_SHARING_VIOLATION (file). Returns INVALID_HANDLE_VALUE on failure; a missing port or
 * file is ERROR_FILE_NOT_FOUND. securityAttributes, flags and templateFile are ignored. */
KORA_PLATFORM_API HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                     LPSECURITY_ATTRIBUTES securityAttributes,
                                     DWORD creationDisposition, DWORD flagsAndAttributes,
                                     HANDLE templateFile);
/* Closes a handle of CreateFileA; pseudo handles are accepted and left alone. */
KORA_PLATFORM_API BOOL CloseHandle(HANDLE object);
/* Reads up to bytesToRead bytes. On a serial port the port's COMMTIMEOUTS end the read early;
 * that is no error: bytesRead tells how many arrived. overlapped must be null. */
KORA_PLATFORM_API BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
                                LPOVERLAPPED overlapped);
/* Writes bytesToWrite bytes, on a serial port within the write time-outs of its COMMTIMEOUTS. */
KORA_PLATFORM_API BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite,
                                 LPDWORD bytesWritten, LPOVERLAPPED overlapped);

/* ---- serial ports --------------------------------------------------------------------------- */

#define NOPARITY 0
#define ODDPARITY 1
#define EVENPARITY 2
#define MARKPARITY 3
#define SPACEPARITY 4

#define ONESTOPBIT 0
#define ONE5STOPBITS 1
#define TWOSTOPBITS 2

#define CBR_110 110u
#define CBR_300 300u
#define CBR_600 600u
#define CBR_1200 1200u
#define CBR_2400 2400u
#define CBR_4800 4800u
#define CBR_9600 9600u
#define CBR_19200 19200u
#define CBR_38400 38400u
#define CBR_57600 57600u
#define CBR_115200 115200u

/* Device-control block of a serial port. SetCommState applies BaudRate, ByteSize (5..8), Parity
 * and StopBits (1.5 stop bits only with 5 data bits, 2 stop bits not with 5), and fParity (input
 * parity check), fOutxCtsFlow/fRtsControl (hardware handshake), fOutX/fInX (XON/XOFF);
 * other combinations and baud rates the port cannot take are ERROR_INVALID_PARAMETER. The other
 * fields are kept as given. */
typedef struct _DCB {
    DWORD DCBlength; /* sizeof(DCB) */
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;   /* NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY */
    BYTE StopBits; /* ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS */
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
} DCB, *LPDCB;

#define RTS_CONTROL_DISABLE 0
#define RTS_CONTROL_ENABLE 1
#define RTS_CONTROL_HANDSHAKE 2

/* Time-outs of a serial port, in milliseconds. A read ends when bytesToRead bytes arrived, when
 * ReadTotalTimeoutMultiplier × bytesToRead + ReadTotalTimeoutConstant has passed (if either is
 * not 0), or when ReadIntervalTimeout passes between two bytes after the first (if not 0).
 * ReadIntervalTimeout MAXDWORD with both totals 0 returns at once with what has arrived; with
 * the multiplier MAXDWORD too, it waits up to the constant for the first byte. All 0: no
 * time-out. Writes end after WriteTotalTimeoutMultiplier × bytesToWrite +
 * WriteTotalTimeoutConstant (if either is not 0). */
typedef struct _COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
} COMMTIMEOUTS, *LPCOMMTIMEOUTS;

/* The settings last applied with SetCommState; a freshly opened terminal reports its own. */
KORA_PLATFORM_API BOOL GetCommState(HANDLE file, LPDCB dcb);
KORA_PLATFORM_API BOOL SetCommState(HANDLE file, LPDCB dcb);
KORA_PLATFORM_API BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);
KORA_PLATFORM_API BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts);

/* ---- modules -------------------------------------------------------------------------------- */

/* Handle of a library already loaded into the process (not loading it, not counting a
 * reference); null moduleName: the main program. Null and ERROR_MOD_NOT_FOUND when not loaded. */
KORA_PLATFORM_API HMODULE GetModuleHandleA(LPCSTR moduleName);
/* Address of an exported function or variable; null and ERROR_PROC_NOT_FOUND when missing. */
KORA_PLATFORM_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);

/* ---- volumes -------------------------------------------------------------------------------- */

/* This host has no drive letters. The drives are a map from letters to mounted file systems,
 * read at every call from the environment variable KORA_DRIVES: entries "LETTER=PATH" separated
 * by ';' (for example "C=/;D=/work"); without the variable the map is "C=/". A drive whose path
 * is no directory is left out. Drive roots are written "C:\". */
typedef char* LPSTR;
typedef uint64_t ULONGLONG;
typedef struct _ULARGE_INTEGER {
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

/* Writes the roots of the drives as consecutive zero-terminated texts followed by one more zero
 * ("C:\<0>D:\<0><0>") when they fit in bufferLength characters; returns the length without the
 * last zero, or the length needed (with it) when the buffer is too small. */
KORA_PLATFORM_API DWORD GetLogicalDriveStringsA(DWORD bufferLength, LPSTR buffer);
/* The volume name (the mounted path) and file-system type of a drive root ("C:\" or "C:/");
 * ERROR_PATH_NOT_FOUND for a letter not in the map. Serial number, maximum component length and
 * flags may be null. */
KORA_PLATFORM_API BOOL GetVolumeInformationA(LPCSTR rootPathName, LPSTR volumeNameBuffer,
                                             DWORD volumeNameSize, LPDWORD volumeSerialNumber,
                                             LPDWORD maximumComponentLength,
                                             LPDWORD fileSystemFlags, LPSTR fileSystemNameBuffer,
                                             DWORD fileSystemNameSize);
/* Free and total bytes of the file system of a drive root; any argument may be null. */
KORA_PLATFORM_API BOOL GetDiskFreeSpaceExA(LPCSTR directoryName,
                                           PULARGE_INTEGER freeBytesAvailableToCaller,
                                           PULARGE_INTEGER totalNumberOfBytes,
                                           PULARGE_INTEGER totalNumberOfFreeBytes);

/* ---- ICMP echo ------------------------------------------------------------------------------ */

typedef struct ip_option_information {
    UCHAR Ttl;
    UCHAR Tos;
    UCHAR Flags;
    UCHAR OptionsSize;
    PUCHAR OptionsData;
} IP_OPTION_INFORMATION, *PIP_OPTION_INFORMATION;

/* One reply as IcmpSendEcho writes it at the start of the reply buffer; the echoed data follow
 * it in the same buffer and Data points to them. */
typedef struct icmp_echo_reply {
    IPAddr Address;
    ULONG Status;        /* IP_SUCCESS or IP_… */
    ULONG RoundTripTime; /* milliseconds */
    USHORT DataSize;
    USHORT Reserved;
    LPVOID Data;
    IP_OPTION_INFORMATION Options;
} ICMP_ECHO_REPLY, *PICMP_ECHO_REPLY;

#define IP_SUCCESS 0u
#define IP_BUF_TOO_SMALL 11001u
#define IP_DEST_NET_UNREACHABLE 11002u
#define IP_DEST_HOST_UNREACHABLE 11003u
#define IP_REQ_TIMED_OUT 11010u
#define IP_GENERAL_FAILURE 11050u

/* Opens an ICMP echo handle; INVALID_HANDLE_VALUE when the system does not permit one. */
KORA_PLATFORM_API HANDLE IcmpCreateFile(void);
KORA_PLATFORM_API BOOL IcmpCloseHandle(HANDLE icmpHandle);
/* Sends one echo request with requestSize bytes of requestData to destination and waits up to
 * timeout ms for the reply. replySize must hold an ICMP_ECHO_REPLY, the echoed data and 8 bytes
 * (else 0 replies and ERROR_INSUFFICIENT_BUFFER). Returns the number of replies (0 or 1); with 0,
 * GetLastError gives the IP_… status, which is also stored in the reply when there is room. */
KORA_PLATFORM_API DWORD IcmpSendEcho(HANDLE icmpHandle, IPAddr destination, LPVOID requestData,
                                     WORD requestSize, PIP_OPTION_INFORMATION requestOptions,
                                     LPVOID replyBuffer, DWORD replySize, DWORD timeout);

#ifdef __cplusplus
}
#endif

#endif
