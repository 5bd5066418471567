/* DCPWR: the DC power instrument-class library (supplies, electronic loads in sink mode and
 * waveform-capable channels behind a power amplifier controller, the PAC).
 *
 * One session per bench (DCPWR_Setup). Every channel call takes context 0, the session and the
 * channel name (a DC power channel of the bench's channel table, e.g. "PSU1!CH1" or a logical
 * channel name), then its values, then the status block (platform_types.h). */
#ifndef KORA_PLATFORM_DCPWR_H
#define KORA_PLATFORM_DCPWR_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Codes the library's callers act on. */
#define DCPWR_ERR_PAC_NOT_RESPONDING (-10)     /* the PAC module does not answer */
#define DCPWR_ERR_NOT_APPLICABLE (-19006)      /* setting does not apply in the channel's mode */
#define DCPWR_ERR_STATE_NOT_SUPPORTED (-19012) /* state not supported by the channel */
#define DCPWR_ERR_NO_CHANNELS (-19022)         /* DCPWR_Setup: the bench has no DC power channels */

/* ---- library and session -------------------------------------------------------------------- */

/* Opens the DC power channels configured for the bench section `benchSection`. */
KORA_PLATFORM_API int32_t DCPWR_Setup(long context, const char* benchSection, int32_t* session,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Cleanup(long context, long session, int32_t* warning,
                                        int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                            int32_t* warning, int32_t* error,
                                            char message[CLASSLIB_MESSAGE_SIZE]);
/* The module driver session behind a channel and the channel's name at that module
 * (moduleChannel may be null). */
KORA_PLATFORM_API int32_t DCPWR_Instrument_Get_Handle(long context, long session,
                                                      const char* channel, ViSession* moduleHandle,
                                                      char moduleChannel[256], int32_t* warning,
                                                      int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* Start state of the channel. */
KORA_PLATFORM_API int32_t DCPWR_Reset(long context, long session, const char* channel,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- output --------------------------------------------------------------------------------- */

KORA_PLATFORM_API int32_t DCPWR_Conf_Output_Enabled(long context, long session, const char* channel,
                                                    long enabled, int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* mode: "NORMAL", "PWM", "CONST_CURRENT", "CONST_RESISTANCE", "CONST_POWER", "ARB_WFM". */
KORA_PLATFORM_API int32_t DCPWR_Conf_Mode(long context, long session, const char* channel,
                                          const char* mode, int32_t* warning, int32_t* error,
                                          char message[CLASSLIB_MESSAGE_SIZE]);
/* kind: "VOLTAGE" (range in volts) or "CURRENT" (range in amperes). */
KORA_PLATFORM_API int32_t DCPWR_Conf_Output_Range(long context, long session, const char* channel,
                                                  const char* kind, double range, int32_t* warning,
                                                  int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Conf_Voltage_Level(long context, long session, const char* channel,
                                                   double volts, int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* behavior: "REGULATE" or "TRIP". */
KORA_PLATFORM_API int32_t DCPWR_Conf_Current_Limit(long context, long session, const char* channel,
                                                   const char* behavior, double amperes,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Largest current limit allowed at `volts`. */
KORA_PLATFORM_API int32_t DCPWR_Query_Max_Current_Limit(long context, long session,
                                                        const char* channel, double volts,
                                                        double* maxAmperes, int32_t* warning,
                                                        int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* Largest voltage level allowed at the current limit `amperes`. */
KORA_PLATFORM_API int32_t DCPWR_Query_Max_Voltage_Level(long context, long session,
                                                        const char* channel, double amperes,
                                                        double* maxVolts, int32_t* warning,
                                                        int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* Pulse-width modulated output: frequency in hertz, duty cycle in percent. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Output_PWM(long context, long session, const char* channel,
                                                double frequency, double dutyCycle,
                                                int32_t* warning, int32_t* error,
                                                char message[CLASSLIB_MESSAGE_SIZE]);
/* Sink (load) set points: amperes, ohms, watts. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Const_Current(long context, long session, const char* channel,
                                                   double amperes, int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Conf_Const_Resistance(long context, long session,
                                                      const char* channel, double ohms,
                                                      int32_t* warning, int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Conf_Const_Power(long context, long session, const char* channel,
                                                 double watts, int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
/* Waits until the output has settled, at most timeoutMs milliseconds. */
KORA_PLATFORM_API int32_t DCPWR_Wait_Until_Settled(long context, long session, const char* channel,
                                                   long timeoutMs, int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- configuration -------------------------------------------------------------------------- */

KORA_PLATFORM_API int32_t DCPWR_Conf_Ground_Relay(long context, long session, const char* channel,
                                                  long enable, int32_t* warning, int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Conf_Remote_Sensing(long context, long session, const char* channel,
                                                    long enable, int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* Levels taken over when the channel is triggered. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Triggered_Voltage_Level(long context, long session,
                                                             const char* channel, double volts,
                                                             int32_t* warning, int32_t* error,
                                                             char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Conf_Triggered_Current_Limit(long context, long session,
                                                             const char* channel, double amperes,
                                                             int32_t* warning, int32_t* error,
                                                             char message[CLASSLIB_MESSAGE_SIZE]);
/* Over-voltage protection on or off. */
KORA_PLATFORM_API int32_t DCPWR_Conf_OVP(long context, long session, const char* channel,
                                         long enable, int32_t* warning, int32_t* error,
                                         char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Conf_Relay_Protection(long context, long session,
                                                      const char* channel, long enable,
                                                      int32_t* warning, int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* Output gated by source "XTI1", "XTI2", "TTL0".."TTL7" at polarity "HIGH" or "LOW". */
KORA_PLATFORM_API int32_t DCPWR_Conf_Gated_Output(long context, long session, const char* channel,
                                                  const char* source, const char* polarity,
                                                  int32_t* warning, int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Enable_Gated_Output(long context, long session, const char* channel,
                                                    long enable, int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* PAC control "AUTOMATIC", "UOUT" or "MANUAL" (value: the manual supply voltage). */
KORA_PLATFORM_API int32_t DCPWR_Conf_PAC_Control(long context, long session, const char* channel,
                                                 const char* mode, double value, int32_t* warning,
                                                 int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
/* Clears a tripped protection. */
KORA_PLATFORM_API int32_t DCPWR_Reset_Output_Protection(long context, long session,
                                                        const char* channel, int32_t* warning,
                                                        int32_t* error,
                                                        char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- status --------------------------------------------------------------------------------- */

/* inState = 1 when the channel is in `state`: "CONSTANT_VOLTAGE", "CONSTANT_CURRENT",
 * "ARB_WFM_ACTIVE", "UNREGULATED", "OVER_TEMPERATURE", "OVER_VOLTAGE", "OVER_CURRENT",
 * "HARDWARE_FAILURE". */
KORA_PLATFORM_API int32_t DCPWR_Query_Output_State(long context, long session, const char* channel,
                                                   const char* state, int32_t* inState,
                                                   int32_t* warning, int32_t* error,
                                                   char message[CLASSLIB_MESSAGE_SIZE]);
/* Sink state with the sink's voltage and current. state 0: not in sink mode; otherwise bits
 * 0x1 voltage reading valid, 0x2 current reading valid, 0x4 regulating its set point, 0x10
 * voltage over range, 0x20 current over range. */
KORA_PLATFORM_API int32_t DCPWR_Query_Sink_State(long context, long session, const char* channel,
                                                 int32_t* state, double* volts, double* amperes,
                                                 int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- measurement ---------------------------------------------------------------------------- */

/* Averaging of DCPWR_Measure: sampleCount samples sampleTime apart after `delay` seconds. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Measurement(long context, long session, const char* channel,
                                                 long sampleCount, double sampleTime, double delay,
                                                 int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
/* quantity: "VOLTAGE", "VOLTAGE_SENSE", "VOLTAGE_SUPPLY", "CURRENT", "RESISTANCE", "POWER".
 * A positive result means the value is not valid (over range). */
KORA_PLATFORM_API int32_t DCPWR_Measure(long context, long session, const char* channel,
                                        const char* quantity, double* value, int32_t* warning,
                                        int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
/* Series acquisition of `quantity` ("VOLTAGE", "VOLTAGE_SENSE", "VOLTAGE_EXT", "VOLTAGE_SUPPLY",
 * "CURRENT"): count samples sampleTime apart, started by triggerSource after delay. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Acquisition(long context, long session, const char* channel,
                                                 const char* quantity, long count,
                                                 double sampleTime, const char* triggerSource,
                                                 double delay, int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Initiate_Acquisition(long context, long session,
                                                     const char* channel, int32_t* warning,
                                                     int32_t* error,
                                                     char message[CLASSLIB_MESSAGE_SIZE]);
/* Waits up to `timeout` seconds for the acquisition and copies up to count samples
 * (countRead may be null). */
KORA_PLATFORM_API int32_t DCPWR_Fetch_Acquisition(long context, long session, const char* channel,
                                                  double timeout, long count, double samples[],
                                                  int32_t* countRead, int32_t* warning,
                                                  int32_t* error,
                                                  char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- arbitrary waveform --------------------------------------------------------------------- */

/* waveform: waveform memory number (0 = the channel's one waveform); pointTime in seconds;
 * cycleCount 0 = repeat until aborted. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Arb_Wfm(long context, long session, const char* channel,
                                             long waveform, double pointTime, long cycleCount,
                                             int32_t* warning, int32_t* error,
                                             char message[CLASSLIB_MESSAGE_SIZE]);
/* count points of voltage level and current limit; a null array keeps that quantity at its
 * configured level. */
KORA_PLATFORM_API int32_t DCPWR_Set_Arb_Wfm(long context, long session, const char* channel,
                                            long count, const double volts[],
                                            const double amperes[], int32_t* warning,
                                            int32_t* error, char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Initiate_Arb_Wfm(long context, long session, const char* channel,
                                                 int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Abort_Arb_Wfm(long context, long session, const char* channel,
                                              int32_t* warning, int32_t* error,
                                              char message[CLASSLIB_MESSAGE_SIZE]);

/* ---- triggering ----------------------------------------------------------------------------- */

/* "IMMEDIATE", "SOFTWARE", "XTI1", "XTI2", "TTL0".."TTL7". */
KORA_PLATFORM_API int32_t DCPWR_Conf_Trigger_Source(long context, long session, const char* channel,
                                                    const char* source, int32_t* warning,
                                                    int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* Outputs by mask (TTL0..TTL7 = 0x1..0x80, XTO1 = 0x100, XTO2 = 0x200) driven by event "CH1",
 * "CH2" or "GP"; polarityMask bits set = active high; enableMask bits set = enabled. */
KORA_PLATFORM_API int32_t DCPWR_Conf_Trigger_Output(long context, long session, const char* channel,
                                                    long outputMask, const char* event,
                                                    long polarityMask, long enableMask,
                                                    int32_t* warning, int32_t* error,
                                                    char message[CLASSLIB_MESSAGE_SIZE]);
/* Arms the channel for its trigger. */
KORA_PLATFORM_API int32_t DCPWR_Initiate(long context, long session, const char* channel,
                                         int32_t* warning, int32_t* error,
                                         char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Send_Software_Trigger(long context, long session,
                                                      const char* channel, int32_t* warning,
                                                      int32_t* error,
                                                      char message[CLASSLIB_MESSAGE_SIZE]);
/* Starts the channel's trigger pulse generator. */
KORA_PLATFORM_API int32_t DCPWR_Initiate_Trigger(long context, long session, const char* channel,
                                                 int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t DCPWR_Abort(long context, long session, const char* channel,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
