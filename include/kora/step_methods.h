/* The table of every exported entry of libkora.
 *
 * One X-macro table is the single source for the C declarations below, the export lists (ELF
 * version script, module-definition file), and the signature metadata with which kora-run calls
 * a method with arguments taken from a program file.
 *
 * KORA_STEP_TABLE(STEP, ARG) expands, per step method,
 *   STEP(NAME, CLASS, KIND, IMPLEMENTED, ARGS)
 * with
 *   NAME         the exported name
 *   CLASS        the step class (KORA, ROUTE, DMM, ...)
 *   KIND         the step kind handed to the frame on entry (1 instrument, 2 ICT program, -1 none)
 *   IMPLEMENTED  1 when libkora has a body for it (only those are exported), 0 otherwise
 *   ARGS         the method-specific arguments, in order, each ARG(name, ctype, TYPE, DIR):
 *                name as the operator sees it, the C type, a type code of kora::ArgType
 *                (STR text in, BUF text buffer out, LONG, LONGP pointer to long, DOUBLE,
 *                DOUBLEP pointer to double, DARRAY array of doubles, LARRAY array of longs,
 *                PTR untyped pointer), and IN, OUT or INOUT; empty for a method that has
 *                no arguments of its own.
 * Every step method starts with the five common arguments (stepRef, stepName, lineCode, stepArg,
 * comment), which the table does not repeat; the first ARG is argument #6. An array (DARRAY,
 * LARRAY, PTR) marked OUT or INOUT is caller memory that the method fills; its size is given by a
 * count argument of the same method. LONG and LONGP stand for the executive's 32-bit integers,
 * which are `long` on the target platform.
 *
 * The table is kept as one macro per step class, KORA_STEP_TABLE_<CLASS>(STEP, ARG), in the order
 * the library documents its step methods; KORA_STEP_TABLE(STEP, ARG) chains them all.
 *
 * KORA_LABVIEW_TABLE(X) lists the names under which one refusing entry is exported, and
 * SCAN_FOR_KORA_DEVICES, which is not a step method, is declared by hand below. */
#ifndef KORA_STEP_METHODS_H
#define KORA_STEP_METHODS_H

#include <stdint.h>

#include "rvoapi.h"

/* Bench administration (setup, cleanup, bench selection and handles), compare and trace. */
#define KORA_STEP_TABLE_KORA(STEP, ARG)                                                            \
    STEP(SETUP_KORA, KORA, -1, 1,                                                                  \
         ARG(BenchName, const char*, STR, IN) ARG(BenchCount, long, LONG, IN)                      \
             ARG(SW_Config, const char*, STR, IN) ARG(HW_Config, const char*, STR, IN))            \
    STEP(CLEANUP_KORA, KORA, 1, 1, ARG(DevChanAttr, const char*, STR, IN))                         \
    STEP(CONF_KORA, KORA, -1, 1,                                                                   \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SetValue, long, LONG, IN))                     \
    STEP(GETI_KORA, KORA, -1, 1,                                                                   \
         ARG(DevChanAttr, const char*, STR, IN) ARG(BenchIndex, long, LONG, IN)                    \
             ARG(Result, long*, LONGP, OUT))                                                       \
    STEP(COMPI_KORA, KORA, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(LLimit, const char*, STR, IN)                  \
             ARG(Value, long, LONG, IN) ARG(ULimit, const char*, STR, IN)                          \
                 ARG(Channel, const char*, STR, IN))                                               \
    STEP(COMPR_KORA, KORA, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(LLimit, const char*, STR, IN)                  \
             ARG(Value, double, DOUBLE, IN) ARG(ULimit, const char*, STR, IN)                      \
                 ARG(Channel, const char*, STR, IN))                                               \
    STEP(COMPS_KORA, KORA, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Value, const char*, STR, IN)                   \
             ARG(Expected, const char*, STR, IN) ARG(Channel, const char*, STR, IN))               \
    STEP(WRITE_KORA, KORA, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Text, const char*, STR, IN)                    \
             ARG(WrLength, long, LONG, IN) ARG(Written, long*, LONGP, OUT))

/* Routing through the switch cards. */
#define KORA_STEP_TABLE_ROUTE(STEP, ARG)                                                           \
    STEP(CONF_ROUTE, ROUTE, 1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Chanlist, const char*, STR, IN)                \
             ARG(Value, long, LONG, IN))                                                           \
    STEP(EXEC_ROUTE, ROUTE, 1, 1, ARG(Command, const char*, STR, IN))                              \
    STEP(GETS_ROUTE, ROUTE, -1, 1,                                                                 \
         ARG(DevChanAttr, const char*, STR, IN) ARG(BufSize, long, LONG, IN)                       \
             ARG(Buffer, char*, BUF, OUT) ARG(Length, long*, LONGP, OUT))

/* Digital multimeter. */
#define KORA_STEP_TABLE_DMM(STEP, ARG)                                                             \
    STEP(CONF_DMM, DMM, 1, 1,                                                                      \
         ARG(DevChanAttr, const char*, STR, IN) ARG(ValueEnable, double, DOUBLE, IN))              \
    STEP(MEAS_DMM, DMM, 1, 1,                                                                      \
         ARG(PreRouting, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)              \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, double, DOUBLE, IN)                  \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasTime, double, DOUBLE, IN)            \
                     ARG(Result, double*, DOUBLEP, OUT) ARG(PostRouting, const char*, STR, IN))    \
    STEP(ACQ_DMM, DMM, 1, 1,                                                                       \
         ARG(PreRoute, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)                \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, const char*, STR, IN)                \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasDelay, double, DOUBLE, IN)           \
                     ARG(MeasTime, double, DOUBLE, IN) ARG(SampleCount, long, LONG, IN)            \
                         ARG(Samples, double*, DARRAY, OUT) ARG(PostRoute, const char*, STR, IN))  \
    STEP(CTRG_DMM, DMM, 1, 1,                                                                      \
         ARG(DevChanAttr, const char*, STR, IN) ARG(EnableLevel, double, DOUBLE, IN))              \
    STEP(CTRGX_DMM, DMM, 1, 1,                                                                     \
         ARG(DevChanAttr, const char*, STR, IN) ARG(TrigDelay, double, DOUBLE, IN)                 \
             ARG(PulseCount, long, LONG, IN) ARG(PulseWidth, double, DOUBLE, IN)                   \
                 ARG(PulsePause, double, DOUBLE, IN))                                              \
    STEP(TRIG_DMM, DMM, 1, 1, ARG(DevChanAttr, const char*, STR, IN))

/* DC power supplies and electronic loads. */
#define KORA_STEP_TABLE_DCPWR(STEP, ARG)                                                           \
    STEP(CONF_DCPWR, DCPWR, 1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(ValueEnable, double, DOUBLE, IN))              \
    STEP(SET_DCPWR, DCPWR, 1, 1,                                                                   \
         ARG(PreRouting, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)              \
             ARG(Voltage, double, DOUBLE, IN) ARG(VRange, const char*, STR, IN)                    \
                 ARG(CurResPow, double, DOUBLE, IN) ARG(CRange, const char*, STR, IN)              \
                     ARG(DutyOffs, double, DOUBLE, IN) ARG(Frequency, double, DOUBLE, IN)          \
                         ARG(PostRouting, const char*, STR, IN))                                   \
    STEP(GET_DCPWR, DCPWR, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Status, long*, LONGP, OUT)                     \
             ARG(CompMask, long, LONG, IN) ARG(CompValue, long, LONG, IN))                         \
    STEP(MEAS_DCPWR, DCPWR, 1, 1,                                                                  \
         ARG(PreRouting, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)              \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, double, DOUBLE, IN)                  \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasTime, double, DOUBLE, IN)            \
                     ARG(Result, double*, DOUBLEP, OUT) ARG(PostRouting, const char*, STR, IN))    \
    STEP(ACQ_DCPWR, DCPWR, 1, 1,                                                                   \
         ARG(PreRoute, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)                \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, const char*, STR, IN)                \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasDelay, double, DOUBLE, IN)           \
                     ARG(MeasTime, double, DOUBLE, IN) ARG(SampleCount, long, LONG, IN)            \
                         ARG(Samples, double*, DARRAY, OUT) ARG(PostRoute, const char*, STR, IN))  \
    STEP(STIM_DCPWR, DCPWR, 1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SampleCount, long, LONG, IN)                   \
             ARG(Voltages, double*, DARRAY, IN) ARG(VoltageMax, double, DOUBLE, IN)                \
                 ARG(Currents, double*, DARRAY, IN) ARG(CurrentMax, double, DOUBLE, IN)            \
                     ARG(CycleTime, double, DOUBLE, IN) ARG(CycleCount, long, LONG, IN))           \
    STEP(CTRG_DCPWR, DCPWR, -1, 1,                                                                 \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Enable, double, DOUBLE, IN))                   \
    STEP(TRIG_DCPWR, DCPWR, -1, 1, ARG(DevChanAttr, const char*, STR, IN))

/* Function and arbitrary waveform generator. */
#define KORA_STEP_TABLE_FUNCGEN(STEP, ARG)                                                         \
    STEP(CONF_FUNCGEN, FUNCGEN, -1, 1,                                                             \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Enable, double, DOUBLE, IN))                   \
    STEP(SET_FUNCGEN, FUNCGEN, 1, 1,                                                               \
         ARG(PreRouting, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)              \
             ARG(VoltageDC, double, DOUBLE, IN) ARG(VoltagePP, double, DOUBLE, IN)                 \
                 ARG(Frequency, double, DOUBLE, IN) ARG(PhaseDuty, double, DOUBLE, IN)             \
                     ARG(CycleCount, long, LONG, IN) ARG(PostRouting, const char*, STR, IN))       \
    STEP(STIM_FUNCGEN, FUNCGEN, -1, 1,                                                             \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SampleCount, long, LONG, IN)                   \
             ARG(Samples, double*, DARRAY, IN) ARG(Gain, double, DOUBLE, IN)                       \
                 ARG(Offset, double, DOUBLE, IN) ARG(CycleTime, double, DOUBLE, IN)                \
                     ARG(CycleCount, long, LONG, IN) ARG(MarkerIndex, long, LONG, IN)              \
                         ARG(MarkerLength, long, LONG, IN) ARG(WaveHandle, long*, LONGP, OUT))     \
    STEP(EXEC_FUNCGEN, FUNCGEN, -1, 1,                                                             \
         ARG(DevChanAttr, const char*, STR, IN) ARG(WaveCount, long, LONG, IN)                     \
             ARG(WaveHandles, long*, LARRAY, IN) ARG(Gain, double, DOUBLE, IN)                     \
                 ARG(Offset, double, DOUBLE, IN) ARG(CycleTime, double, DOUBLE, IN)                \
                     ARG(CycleCount, long, LONG, IN))                                              \
    STEP(CTRG_FUNCGEN, FUNCGEN, -1, 1,                                                             \
         ARG(DevChanAttr, const char*, STR, IN) ARG(DelayEnable, double, DOUBLE, IN))              \
    STEP(TRIG_FUNCGEN, FUNCGEN, -1, 1, ARG(DevChanAttr, const char*, STR, IN))

/* Signal analyzer (two-path digitizer). */
#define KORA_STEP_TABLE_SCOPE(STEP, ARG)                                                           \
    STEP(CONF_SCOPE, SCOPE, -1, 1,                                                                 \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Enable, double, DOUBLE, IN))                   \
    STEP(MEAS_SCOPE, SCOPE, 1, 1,                                                                  \
         ARG(PreRouting, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)              \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, double, DOUBLE, IN)                  \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasTime, double, DOUBLE, IN)            \
                     ARG(Result, double*, DOUBLEP, OUT) ARG(PostRouting, const char*, STR, IN))    \
    STEP(ACQ_SCOPE, SCOPE, 1, 1,                                                                   \
         ARG(PreRoute, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)                \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, const char*, STR, IN)                \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasDelay, double, DOUBLE, IN)           \
                     ARG(MeasTime, double, DOUBLE, IN) ARG(SampleCount, long, LONG, IN)            \
                         ARG(Samples, double*, DARRAY, OUT) ARG(PostRoute, const char*, STR, IN))  \
    STEP(CTRG_SCOPE, SCOPE, -1, 1,                                                                 \
         ARG(DevChanAttr, const char*, STR, IN) ARG(LevelEnable, double, DOUBLE, IN))              \
    STEP(TRIG_SCOPE, SCOPE, -1, 1, ARG(DevChanAttr, const char*, STR, IN))

/* Analog and digital I/O module. */
#define KORA_STEP_TABLE_ADIO(STEP, ARG)                                                            \
    STEP(CONF_ADIO, ADIO, -1, 1,                                                                   \
         ARG(DevChanAttr, const char*, STR, IN) ARG(OnLevFreqDC, double, DOUBLE, IN))              \
    STEP(SET_ADIO, ADIO, -1, 1,                                                                    \
         ARG(DevChanAttr, const char*, STR, IN) ARG(StateEnable, long, LONG, IN))                  \
    STEP(GET_ADIO, ADIO, -1, 1,                                                                    \
         ARG(DevChanAttr, const char*, STR, IN) ARG(State, long*, LONGP, OUT)                      \
             ARG(CompMask, long, LONG, IN) ARG(CompValue, long, LONG, IN))                         \
    STEP(MEAS_ADIO, ADIO, 1, 1,                                                                    \
         ARG(PreRouting, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)              \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, double, DOUBLE, IN)                  \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasTime, double, DOUBLE, IN)            \
                     ARG(Result, double*, DOUBLEP, OUT) ARG(PostRouting, const char*, STR, IN))    \
    STEP(ACQ_ADIO, ADIO, 1, 1,                                                                     \
         ARG(PreRoute, const char*, STR, IN) ARG(DevChanAttr, const char*, STR, IN)                \
             ARG(LowLimit, const char*, STR, IN) ARG(Nominal, const char*, STR, IN)                \
                 ARG(HighLimit, const char*, STR, IN) ARG(MeasDelay, double, DOUBLE, IN)           \
                     ARG(MeasTime, double, DOUBLE, IN) ARG(SampleCount, long, LONG, IN)            \
                         ARG(Samples, void*, PTR, OUT) ARG(PostRoute, const char*, STR, IN))       \
    STEP(STIM_ADIO, ADIO, -1, 1,                                                                   \
         ARG(DevChanAttr, const char*, STR, IN) ARG(FileName, const char*, STR, IN)                \
             ARG(StimTime, double, DOUBLE, IN) ARG(Data, void*, PTR, IN)                           \
                 ARG(SampleCount, long, LONG, IN) ARG(LoadCount, long*, LONGP, OUT))               \
    STEP(CTRG_ADIO, ADIO, -1, 1,                                                                   \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Enable, double, DOUBLE, IN))                   \
    STEP(TRIG_ADIO, ADIO, -1, 1, ARG(DevChanAttr, const char*, STR, IN))                           \
    STEP(CORR_ADIO, ADIO, 1, 1, ARG(DevChanAttr, const char*, STR, IN))

/* Digital I/O manager and the PWM power outputs of the digital test modules. */
#define KORA_STEP_TABLE_DIOMGR(STEP, ARG)                                                          \
    STEP(CONF_DIOMGR, DIOMGR, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(VHigh, double, DOUBLE, IN)                     \
             ARG(VLow_ILim, double, DOUBLE, IN))                                                   \
    STEP(SET_DIOMGR, DIOMGR, -1, 1,                                                                \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Frequency, double, DOUBLE, IN)                 \
             ARG(DutyCycle, double, DOUBLE, IN))                                                   \
    STEP(GET_DIOMGR, DIOMGR, -1, 1,                                                                \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SizeStatus, long, LONG, IN)                    \
             ARG(Buffer, char*, BUF, OUT) ARG(CompString, const char*, STR, IN))                   \
    STEP(EXEC_DIOMGR, DIOMGR, -1, 1,                                                               \
         ARG(OutInAttr, const char*, STR, IN) ARG(BufSize, long, LONG, IN)                         \
             ARG(Buffer, char*, BUF, OUT))

/* Universal relay module. */
#define KORA_STEP_TABLE_URM(STEP, ARG)                                                             \
    STEP(CONFIG_URM, URM, 1, 1,                                                                    \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Bank, const char*, STR, IN)                    \
             ARG(Bits, const char*, STR, IN) ARG(Direction, const char*, STR, IN))                 \
    STEP(SET_URM, URM, 1, 1,                                                                       \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Bank, const char*, STR, IN)                    \
             ARG(Bits, const char*, STR, IN) ARG(State, const char*, STR, IN))                     \
    STEP(GET_URM, URM, 1, 1,                                                                       \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Bank, const char*, STR, IN)                    \
             ARG(Bit, long, LONG, IN) ARG(CompareValue, const char*, STR, IN)                      \
                 ARG(Value, long*, LONGP, OUT))

/* Analysis of sample arrays held by the test program; no instrument involved. */
#define KORA_STEP_TABLE_SIGANL(STEP, ARG)                                                          \
    STEP(AMPLITUDE_SIGANL, SIGANL, -1, 1,                                                          \
         ARG(Waveform, const char*, STR, IN) ARG(LowLimit, const char*, STR, IN)                   \
             ARG(Nominal, double, DOUBLE, IN) ARG(HighLimit, const char*, STR, IN)                 \
                 ARG(AcqTime, double, DOUBLE, IN) ARG(SampleCount, long, LONG, IN)                 \
                     ARG(Samples, double*, DARRAY, IN) ARG(RefLevel1, double, DOUBLE, IN)          \
                         ARG(RefLevel2, double, DOUBLE, IN) ARG(StartSkip, double, DOUBLE, IN)     \
                             ARG(EndSkip, double, DOUBLE, IN))                                     \
    STEP(FREQ_SIGANL, SIGANL, -1, 1,                                                               \
         ARG(Method, const char*, STR, IN) ARG(LowLimit, const char*, STR, IN)                     \
             ARG(Nominal, double, DOUBLE, IN) ARG(HighLimit, const char*, STR, IN)                 \
                 ARG(AcqTime, double, DOUBLE, IN) ARG(SampleCount, long, LONG, IN)                 \
                     ARG(Samples, double*, DARRAY, IN) ARG(Param1, double, DOUBLE, IN)             \
                         ARG(Param2, double, DOUBLE, IN) ARG(Result, double*, DOUBLEP, OUT))       \
    STEP(LOAD_SIGANL, SIGANL, -1, 1,                                                               \
         ARG(TextA, const char*, STR, IN) ARG(TextB, const char*, STR, IN)                         \
             ARG(SampleCount, long, LONG, IN) ARG(Samples, double*, DARRAY, OUT))                  \
    STEP(SAVE_SIGANL, SIGANL, -1, 1,                                                               \
         ARG(TextA, const char*, STR, IN) ARG(TextB, const char*, STR, IN)                         \
             ARG(SampleCount, long, LONG, IN) ARG(Samples, double*, DARRAY, IN))

/* System parameters and station information, fixture cartridges, data files and named arrays. */
#define KORA_STEP_TABLE_SYSTEM(STEP, ARG)                                                          \
    STEP(SETI_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SetValue, long, LONG, IN)                      \
             ARG(ParComment, const char*, STR, IN))                                                \
    STEP(SETR_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SetValue, double, DOUBLE, IN)                  \
             ARG(ParComment, const char*, STR, IN))                                                \
    STEP(SETS_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SetValue, const char*, STR, IN)                \
             ARG(ParComment, const char*, STR, IN))                                                \
    STEP(GETI_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Value, long*, LONGP, OUT)                      \
             ARG(CompMask, long, LONG, IN) ARG(CompValue, long, LONG, IN))                         \
    STEP(GETR_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(LLimit, const char*, STR, IN)                  \
             ARG(Value, double*, DOUBLEP, OUT) ARG(ULimit, const char*, STR, IN))                  \
    STEP(GETS_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Buffer, char*, BUF, OUT)                       \
             ARG(BufLength, long, LONG, IN) ARG(Expected, const char*, STR, IN))                   \
    STEP(SET_SYSTEM, SYSTEM, -1, 1,                                                                \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SetMask, long, LONG, IN)                       \
             ARG(SetValue, long, LONG, IN))                                                        \
    STEP(GET_SYSTEM, SYSTEM, -1, 1,                                                                \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Value, long*, LONGP, OUT)                      \
             ARG(CompMask, long, LONG, IN) ARG(CompValue, long, LONG, IN))                         \
    STEP(READ_SYSTEM, SYSTEM, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(FileName, const char*, STR, IN)                \
             ARG(GainAValues, double, DOUBLE, IN) ARG(OffsAValues, double, DOUBLE, IN)             \
                 ARG(ReadCount, long*, LONGP, OUT))                                                \
    STEP(WRITE_SYSTEM, SYSTEM, -1, 1,                                                              \
         ARG(DevChanAttr, const char*, STR, IN) ARG(FileName, const char*, STR, IN)                \
             ARG(SampleCount, long, LONG, IN) ARG(AValues, double*, DARRAY, INOUT)                 \
                 ARG(DValues, long*, LARRAY, INOUT) ARG(WriteCount, long*, LONGP, OUT))

/* Software timers T1..T8 and the global time. */
#define KORA_STEP_TABLE_TIMER(STEP, ARG)                                                           \
    STEP(SET_TIMER, TIMER, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(SetValue, double, DOUBLE, IN))                 \
    STEP(GET_TIMER, TIMER, -1, 1,                                                                  \
         ARG(DevChanAttr, const char*, STR, IN) ARG(LLimit, const char*, STR, IN)                  \
             ARG(Result, double*, DOUBLEP, OUT) ARG(ULimit, const char*, STR, IN))

/* Serial ports COM1..COM16. */
#define KORA_STEP_TABLE_SERIAL(STEP, ARG)                                                          \
    STEP(CONF_SERIAL, SERIAL, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(TxTimeout, long, LONG, IN)                     \
             ARG(RxTimeout, long, LONG, IN))                                                       \
    STEP(READ_SERIAL, SERIAL, -1, 1,                                                               \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Buffer, char*, BUF, OUT)                       \
             ARG(RdLength, long, LONG, IN) ARG(Read, long*, LONGP, OUT)                            \
                 ARG(Expected, const char*, STR, IN))                                              \
    STEP(WRITE_SERIAL, SERIAL, -1, 1,                                                              \
         ARG(DevChanAttr, const char*, STR, IN) ARG(Buffer, const char*, STR, IN)                  \
             ARG(FWrLength, long, LONG, IN) ARG(Written, long*, LONGP, OUT))

/* ICT programs (load, execute) and the steps that build one fixture test from their arguments. */
#define KORA_STEP_TABLE_ICTX(STEP, ARG)                                                            \
    STEP(LOAD_ICTX, ICTX, -1, 1,                                                                   \
         ARG(ComponentFile, const char*, STR, IN) ARG(BenchIndex, long, LONG, IN))                 \
    STEP(EXEC_ICTX, ICTX, 2, 1,                                                                    \
         ARG(Mode, const char*, STR, IN) ARG(BenchIndex, long, LONG, IN)                           \
             ARG(StepId, long, LONG, IN) ARG(Variant, const char*, STR, IN))                       \
    STEP(CONTACT_ICTX, ICTX, -1, 1,                                                                \
         ARG(Options, const char*, STR, IN) ARG(RunFlags, long, LONG, IN)                          \
             ARG(ShortVoltage, double, DOUBLE, IN) ARG(ContactVoltage, double, DOUBLE, IN)         \
                 ARG(Selected, const char*, STR, IN) ARG(ExcludeFromShort, const char*, STR, IN)   \
                     ARG(ExcludeFromOpen, const char*, STR, IN)                                    \
                         ARG(ShortCurrentRange, double, DOUBLE, IN)                                \
                             ARG(ShortCurrentLimit, double, DOUBLE, IN)                            \
                                 ARG(ContactCurrentRange, double, DOUBLE, IN)                      \
                                     ARG(ContactCurrentLimit, double, DOUBLE, IN))                 \
    STEP(TRACK_ICTX, ICTX, -1, 1,                                                                  \
         ARG(Options, const char*, STR, IN) ARG(BenchIndex, long, LONG, IN)                        \
             ARG(Voltage, double, DOUBLE, IN) ARG(Selected, const char*, STR, IN)                  \
                 ARG(CurrentRange, double, DOUBLE, IN) ARG(CurrentLimit, double, DOUBLE, IN))      \
    STEP(DISCHARGE_ICTX, ICTX, -1, 1,                                                              \
         ARG(Options, const char*, STR, IN) ARG(BenchIndex, long, LONG, IN)                        \
             ARG(Selected, const char*, STR, IN) ARG(Reference, const char*, STR, IN)              \
                 ARG(Timeout, long, LONG, IN))                                                     \
    STEP(COMPENSATE_ICTX, ICTX, 2, 1,                                                              \
         ARG(Type, const char*, STR, IN) ARG(Options, const char*, STR, IN)                        \
             ARG(LowerLimit, double, DOUBLE, IN) ARG(UpperLimit, double, DOUBLE, IN)               \
                 ARG(NomMax, double, DOUBLE, IN) ARG(HiPin, const char*, STR, IN)                  \
                     ARG(LoPin, const char*, STR, IN) ARG(BenchIndex, long, LONG, IN))

/* Pin location tool: the tool runs as a station callback; the step itself only returns -2. */
#define KORA_STEP_TABLE_ICT(STEP, ARG) STEP(PINTEST_ICT, ICT, -1, 1, )

#define KORA_STEP_TABLE(STEP, ARG)                                                                 \
    KORA_STEP_TABLE_KORA(STEP, ARG)                                                                \
    KORA_STEP_TABLE_ROUTE(STEP, ARG)                                                               \
    KORA_STEP_TABLE_DMM(STEP, ARG)                                                                 \
    KORA_STEP_TABLE_DCPWR(STEP, ARG)                                                               \
    KORA_STEP_TABLE_FUNCGEN(STEP, ARG)                                                             \
    KORA_STEP_TABLE_SCOPE(STEP, ARG)                                                               \
    KORA_STEP_TABLE_ADIO(STEP, ARG)                                                                \
    KORA_STEP_TABLE_DIOMGR(STEP, ARG)                                                              \
    KORA_STEP_TABLE_URM(STEP, ARG)                                                                 \
    KORA_STEP_TABLE_SIGANL(STEP, ARG)                                                              \
    KORA_STEP_TABLE_SYSTEM(STEP, ARG)                                                              \
    KORA_STEP_TABLE_TIMER(STEP, ARG)                                                               \
    KORA_STEP_TABLE_SERIAL(STEP, ARG)                                                              \
    KORA_STEP_TABLE_ICTX(STEP, ARG)                                                                \
    KORA_STEP_TABLE_ICT(STEP, ARG)

#define KORA_LABVIEW_TABLE(X)                                                                      \
    X(CONF_LABVIEW)                                                                                \
    X(EXEC_LABVIEW)                                                                                \
    X(GETI_LABVIEW)                                                                                \
    X(GETR_LABVIEW)                                                                                \
    X(GETRA_LABVIEW)                                                                               \
    X(GETS_LABVIEW)                                                                                \
    X(SETI_LABVIEW)                                                                                \
    X(SETR_LABVIEW)                                                                                \
    X(SETS_LABVIEW)                                                                                \
    X(SETUP_LABVIEW)

#ifdef __cplusplus
extern "C" {
#endif

#define KORA_DECL_ARG(name, ctype, type, dir) , ctype name
#define KORA_DECL_STEP(NAME, CLASS, KIND, IMPL, ARGS)                                              \
    EN_NEV_RESULT NAME(long stepRef, const char* stepName, long lineCode, long stepArg,            \
                       const char* comment ARGS);
KORA_STEP_TABLE(KORA_DECL_STEP, KORA_DECL_ARG)
#undef KORA_DECL_STEP
#undef KORA_DECL_ARG

#define KORA_DECL_LABVIEW(NAME)                                                                    \
    EN_NEV_RESULT NAME(long stepRef, const char* stepName, long lineCode, long stepArg,            \
                       const char* comment);
KORA_LABVIEW_TABLE(KORA_DECL_LABVIEW)
#undef KORA_DECL_LABVIEW

/* One found device of SCAN_FOR_KORA_DEVICES: sixteen texts and two integers. */
typedef struct KoraScanRecord {
    char text[16][256];
    int32_t value[2];
} KoraScanRecord;
#define KORA_SCAN_IMPLEMENTED 1
long SCAN_FOR_KORA_DEVICES(int32_t maxCount, uint32_t* foundCount, KoraScanRecord* table);

#ifdef __cplusplus
}
#endif

#endif
