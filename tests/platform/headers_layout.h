/* Layout facts of the platform interface structures and types, as X(name, value). A C
 * translation unit (headers_c_check.c) and a C++ one (headers_all_test.cpp) expand the same list,
 * so the test can prove that C and C++ code see one layout: drivers and the library may be
 * compiled either way. */
#ifndef KORA_TESTS_PLATFORM_HEADERS_LAYOUT_H
#define KORA_TESTS_PLATFORM_HEADERS_LAYOUT_H

#include <stddef.h>

#include <dcpwr.h>
#include <diomgr.h>
#include <dmm.h>
#include <funcgen.h>
#include <platform_types.h>
#include <route.h>
#include <rspam.h>
#include <rspdft.h>
#include <rspfg.h>
#include <rsphdt.h>
#include <rspict.h>
#include <rspio2.h>
#include <rspio3b.h>
#include <rspmb.h>
#include <rspsam.h>
#include <rspsm.h>
#include <rspsu.h>
#include <rspsys.h>
#include <siganl.h>
#include <ucm.h>
#include <util.h>
#include <vx_urm.h>
#include <winapi.h>
#include <zqsm160.h>

#ifdef __cplusplus
#define KORA_LAYOUT_ALIGNOF(type) alignof(type)
#else
#define KORA_LAYOUT_ALIGNOF(type) _Alignof(type)
#endif

#define KORA_PLATFORM_LAYOUT(X)                                                                    \
    X(ViSession_size, sizeof(ViSession))                                                           \
    X(ViStatus_size, sizeof(ViStatus))                                                             \
    X(ViBoolean_size, sizeof(ViBoolean))                                                           \
    X(ViAttr_size, sizeof(ViAttr))                                                                 \
    X(ViReal64_size, sizeof(ViReal64))                                                             \
    X(DWORD_size, sizeof(DWORD))                                                                   \
    X(BOOL_size, sizeof(BOOL))                                                                     \
    X(WORD_size, sizeof(WORD))                                                                     \
    X(IPAddr_size, sizeof(IPAddr))                                                                 \
    X(HANDLE_size, sizeof(HANDLE))                                                                 \
    X(FARPROC_size, sizeof(FARPROC))                                                               \
    X(UCM_STATUS_size, sizeof(UCM_STATUS))                                                         \
    X(UCM_HANDLE_size, sizeof(UCM_HANDLE))                                                         \
    X(DCB_size, sizeof(DCB))                                                                       \
    X(DCB_align, KORA_LAYOUT_ALIGNOF(DCB))                                                         \
    X(DCB_BaudRate, offsetof(DCB, BaudRate))                                                       \
    X(DCB_wReserved, offsetof(DCB, wReserved))                                                     \
    X(DCB_XonLim, offsetof(DCB, XonLim))                                                           \
    X(DCB_ByteSize, offsetof(DCB, ByteSize))                                                       \
    X(DCB_Parity, offsetof(DCB, Parity))                                                           \
    X(DCB_StopBits, offsetof(DCB, StopBits))                                                       \
    X(DCB_XonChar, offsetof(DCB, XonChar))                                                         \
    X(DCB_EvtChar, offsetof(DCB, EvtChar))                                                         \
    X(DCB_wReserved1, offsetof(DCB, wReserved1))                                                   \
    X(COMMTIMEOUTS_size, sizeof(COMMTIMEOUTS))                                                     \
    X(COMMTIMEOUTS_ReadTotalTimeoutConstant, offsetof(COMMTIMEOUTS, ReadTotalTimeoutConstant))     \
    X(COMMTIMEOUTS_WriteTotalTimeoutConstant, offsetof(COMMTIMEOUTS, WriteTotalTimeoutConstant))   \
    X(IP_OPTION_INFORMATION_size, sizeof(IP_OPTION_INFORMATION))                                   \
    X(IP_OPTION_INFORMATION_OptionsData, offsetof(IP_OPTION_INFORMATION, OptionsData))             \
    X(ICMP_ECHO_REPLY_size, sizeof(ICMP_ECHO_REPLY))                                               \
    X(ICMP_ECHO_REPLY_align, KORA_LAYOUT_ALIGNOF(ICMP_ECHO_REPLY))                                 \
    X(ICMP_ECHO_REPLY_Status, offsetof(ICMP_ECHO_REPLY, Status))                                   \
    X(ICMP_ECHO_REPLY_RoundTripTime, offsetof(ICMP_ECHO_REPLY, RoundTripTime))                     \
    X(ICMP_ECHO_REPLY_DataSize, offsetof(ICMP_ECHO_REPLY, DataSize))                               \
    X(ICMP_ECHO_REPLY_Data, offsetof(ICMP_ECHO_REPLY, Data))                                       \
    X(ICMP_ECHO_REPLY_Options, offsetof(ICMP_ECHO_REPLY, Options))                                 \
    X(UCM_CARD_INFO_size, sizeof(UCM_CARD_INFO))                                                   \
    X(UCM_CARD_INFO_description, offsetof(UCM_CARD_INFO, description))                             \
    X(UCM_CARD_INFO_serialNumber, offsetof(UCM_CARD_INFO, serialNumber))                           \
    X(VX_URM_MODULE_INFO_size, sizeof(VX_URM_MODULE_INFO))                                         \
    X(VX_URM_MODULE_INFO_resourceDesc, offsetof(VX_URM_MODULE_INFO, resourceDesc))                 \
    X(VX_URM_MODULE_INFO_extra, offsetof(VX_URM_MODULE_INFO, extra))                               \
    X(VX_URM_MODULE_INFO_frame, offsetof(VX_URM_MODULE_INFO, frame))                               \
    X(VX_URM_MODULE_INFO_slot, offsetof(VX_URM_MODULE_INFO, slot))

/* Bit fields have no offsets: both languages set the same flags and compare the bytes. */
#define KORA_SET_DCB_FLAGS(dcb)                                                                    \
    do {                                                                                           \
        (dcb)->fBinary = 1;                                                                        \
        (dcb)->fParity = 1;                                                                        \
        (dcb)->fDtrControl = 2;                                                                    \
        (dcb)->fOutX = 1;                                                                          \
        (dcb)->fRtsControl = 3;                                                                    \
        (dcb)->fAbortOnError = 1;                                                                  \
        (dcb)->fDummy2 = 0x15A5A;                                                                  \
    } while (0)

typedef struct KoraLayoutEntry {
    const char* name;
    size_t value;
} KoraLayoutEntry;

#ifdef __cplusplus
extern "C" {
#endif

/* Defined by the C translation unit: its view of KORA_PLATFORM_LAYOUT, and the DCB flags set
 * by C code. */
size_t KoraHeadersCLayout(const KoraLayoutEntry** entries);
void KoraHeadersCSetDcbFlags(DCB* dcb);

#ifdef __cplusplus
}
#endif

#endif
