/* UCM: the control-module library of the fixture cartridge cards.
 *
 * A card is opened by its name: "SSC" (system control), "VPC" (vacuum, pneumatic and actuator
 * control), "VCC" (vacuum control), "ACC" (pneumatic control). Each card has a 16-bit port of
 * isolated outputs, one of open-drain outputs, isolated inputs and status inputs. Every call
 * returns a UCM_STATUS (0 success); UCM_StatusToMSG gives its text. */
#ifndef KORA_PLATFORM_UCM_H
#define KORA_PLATFORM_UCM_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t UCM_STATUS;
/* Handle of an open card; never 0. */
typedef int32_t UCM_HANDLE;

#define UCM_OK 0
#define UCM_STATUS_NO_CARDS (-100) /* UCM_Scan: no card answered */

#define UCM_TEXT_SIZE 64

/* One card found by UCM_Scan. */
typedef struct UCM_CARD_INFO {
    char name[UCM_TEXT_SIZE];         /* "SSC", "SCC", "VPC", "VCC", "ACC", ... */
    char description[UCM_TEXT_SIZE];  /* readable description of the card */
    char serialNumber[UCM_TEXT_SIZE]; /* serial number text */
} UCM_CARD_INFO;

/* Lists up to maxCount cards present, in bus order, into cards; found receives the number
 * written. */
KORA_PLATFORM_API UCM_STATUS UCM_Scan(UCM_CARD_INFO cards[], uint32_t maxCount, uint32_t* found);
/* Opens the card named `name`; serialNumber and hwRevision (UCM_TEXT_SIZE bytes each, may be
 * null) receive the card's serial number and hardware revision. */
KORA_PLATFORM_API UCM_STATUS UCM_Init(const char* name, UCM_HANDLE* handle, char* serialNumber,
                                      char* hwRevision);
KORA_PLATFORM_API UCM_STATUS UCM_Close(UCM_HANDLE handle);
/* Reloads the card's logic; outputs return to their power-on state. */
KORA_PLATFORM_API UCM_STATUS UCM_ResetFPGA(UCM_HANDLE handle);

/* Output bits set in `mask` take the value of the same bit of `value`; the others stay. */
KORA_PLATFORM_API UCM_STATUS UCM_SetIsolatedOUT(UCM_HANDLE handle, uint16_t mask, uint16_t value);
KORA_PLATFORM_API UCM_STATUS UCM_SetOpenDrainOUT(UCM_HANDLE handle, uint16_t mask, uint16_t value);
/* Current states of the isolated inputs, the isolated outputs and the status inputs. */
KORA_PLATFORM_API UCM_STATUS UCM_GetIsolatedIN(UCM_HANDLE handle, uint16_t* value);
KORA_PLATFORM_API UCM_STATUS UCM_GetIsolatedOUT(UCM_HANDLE handle, uint16_t* value);
KORA_PLATFORM_API UCM_STATUS UCM_GetStatusIN(UCM_HANDLE handle, uint16_t* value);

/* Text of a status; a static text, never null. */
KORA_PLATFORM_API const char* UCM_StatusToMSG(UCM_STATUS status);

#ifdef __cplusplus
}
#endif

#endif
