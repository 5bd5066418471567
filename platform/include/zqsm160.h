/* ZQsm160: the driver of the 160-channel switch-matrix cards.
 *
 * A card has the pins "P1".."P160" and the eight analog bus channels "LABA1", "LABA2", "LABB1",
 * "LABB2", "LABC1", "LABC2", "LABD1", "LABD2" (groups A..D, lines 1 and 2). Channels are named
 * by text or by the integer id that ZQsm160_getChannelId gives for a name; ids are the same on
 * every card, so they can be asked without a session (handle 0). Instrument-driver style:
 * ViSession first, ViStatus result. */
#ifndef KORA_PLATFORM_ZQSM160_H
#define KORA_PLATFORM_ZQSM160_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A set of pins of one card: bit (p % 32) of word p / 32 selects pin index p (pin "P<p+1>"). */
#define ZQSM160_PIN_COUNT 160
#define ZQSM160_MASK_WORDS 5

/* Line selectors of ZQsm160_quickConnectABCD: 0 none, 1 line 1, 2 line 2 of the group; 3 and 4
 * tie the pin to the group's ground reference (3 as reference pin, 4 as discharged pin). */
#define ZQSM160_LINE_NONE 0
#define ZQSM160_LINE_1 1
#define ZQSM160_LINE_2 2
#define ZQSM160_LINE_GROUND_REF 3
#define ZQSM160_LINE_GROUND 4

KORA_PLATFORM_API ViStatus ZQsm160_InitWithOptions(ViRsrc resourceName, ViBoolean idQuery,
                                                   ViBoolean reset, ViConstString optionString,
                                                   ViSession* vi);
KORA_PLATFORM_API ViStatus ZQsm160_close(ViSession vi);
/* Text of a status returned by this driver. */
KORA_PLATFORM_API ViStatus ZQsm160_error_message(ViSession vi, ViStatus status,
                                                 ViChar message[VI_ERROR_MESSAGE_SIZE]);
/* Id of the channel named `name` ("P1".."P160", "LABA1".."LABD2"); vi may be 0. */
KORA_PLATFORM_API ViStatus ZQsm160_getChannelId(ViSession vi, ViConstString name, ViInt32* id);
/* Sets a boolean attribute of the card (channel "" = the whole card). */
KORA_PLATFORM_API ViStatus ZQsm160_SetAttributeViBoolean(ViSession vi, ViConstString channel,
                                                         ViAttr attribute, ViBoolean value);

/* Connects two channels named by text (e.g. "LABA1" and "ABA1"). */
KORA_PLATFORM_API ViStatus ZQsm160_Connect(ViSession vi, ViConstString channel1,
                                           ViConstString channel2);
/* Connects (connect = 1) or disconnects (0) two channels named by id. */
KORA_PLATFORM_API ViStatus ZQsm160_quickConnect(ViSession vi, ViInt32 connect, ViInt32 channel1,
                                                ViInt32 channel2);
/* Puts one pin (by id) on the bus: one selector per group A..D (ZQSM160_LINE_…), the groups
 * naming roles of the lines as docs/analog-bus.md defines them;
 * the pin is first released from every bus line. options: 0. */
KORA_PLATFORM_API ViStatus ZQsm160_quickConnectABCD(ViSession vi, ViInt32 pinId, ViInt32 lineA,
                                                    ViInt32 lineB, ViInt32 lineC, ViInt32 lineD,
                                                    ViInt32 options);
/* Connects every pin selected in pinMask to the bus channels busChannel1 and busChannel2 (ids; a
 * negative id leaves that side out); with both negative, the selected pins are released from
 * every bus line. Pins not selected are left as they are. */
KORA_PLATFORM_API ViStatus ZQsm160_quickConnectArray(ViSession vi,
                                                     const ViUInt32 pinMask[ZQSM160_MASK_WORDS],
                                                     ViInt32 busChannel1, ViInt32 busChannel2);
/* Waits until the relays switched last have settled, at most maxTimeMs milliseconds. */
KORA_PLATFORM_API ViStatus ZQsm160_WaitForDebounce(ViSession vi, ViInt32 maxTimeMs);
/* Opens every relay of the card. */
KORA_PLATFORM_API ViStatus ZQsm160_DisconnectAll(ViSession vi);
/* Opens every relay of the card without waiting for it to settle (hot-switch path). */
KORA_PLATFORM_API ViStatus ZQsm160_hscDisconnectAll(ViSession vi);

#ifdef __cplusplus
}
#endif

#endif
