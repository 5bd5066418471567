// READ_SYSTEM and WRITE_SYSTEM: sample data between data files, the bench's named arrays and the
// test program's own arrays.
#include "exports/export.h"
#include "system/data_format.h"
#include "system/system_step.h"

#include <kora/step_methods.h>
#include <rvoapi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace kora {
namespace {

constexpr const char* kKinds = "WAVEFORM,WAVEFORM[X],PATTERN";
constexpr const char* kReadTarget = "DRIVE";
constexpr const char* kModes = "MEM>DRIVE,ARRAY>DRIVE,MEM>ARRAY,ARRAY>MEM";
constexpr const char* kAsciiFormat = "ASCII";
constexpr const char* kHexFormat = "HEX";
constexpr const char* kDataChoices = "NO,YES";
constexpr const char* kDataYes = "YES";
constexpr const char* kDetails = "-DETAILS";
constexpr const char* kSamplesLabel = "SAMPLES";
constexpr const char* kFileNotFound = "FILE NOT FOUND";
constexpr const char* kFileOpenError = "FILE OPEN ERROR";
constexpr const char* kMallocError = "MALLOC ARRAY ERROR";
constexpr const char* kReallocError = "REALLOC ARRAY ERROR";
constexpr const char* kNotAllRead = "NOT ALL SAMPLES READ";
constexpr const char* kNotAllWritten = "NOT ALL SAMPLES WRITTEN";
constexpr const char* kAnalogNull = "pAValues is <NULL>";
constexpr const char* kDigitalNull = "pDValues is <NULL>";
constexpr const char* kReallocAnalog = "REALLOC ANALOG ARRAY ERROR";
constexpr const char* kReallocDigital = "REALLOC DIGITAL ARRAY ERROR";
constexpr const char* kExceedsTarget = "Array size exceeds target capacity";
constexpr long kUnitCount = 2;
constexpr long kUnitNumber = 3;
constexpr int32_t kAnalog = 1;
constexpr int32_t kDigital = 2;

enum Mode : int32_t { kModeNone, kMemToDrive, kArrayToDrive, kMemToArray, kArrayToMem };

struct ReadRecord {
    StepHead head; // selector: 1 when set up
    int32_t kind;  // kAnalog or kDigital
    int32_t format;
    double gain;
    double offset;
    char data[8];
    int32_t readCount;
};

struct WriteRecord {
    StepHead head; // selector: Mode
    int32_t kind;
    int32_t format;
    int32_t sampleCount;
    char data[8];
    int32_t writeCount;
};

double* AnalogOf(NamedArray& a) {
    return static_cast<double*>(a.buffers[0]);
}
int32_t* DigitalOf(NamedArray& a) {
    return static_cast<int32_t*>(a.buffers[1]);
}

// Kind and format from the function and suffix parts; false when the kind is unknown.
bool CompileKind(const DevChanParts& parts, int32_t& kind, int32_t& format) {
    const int k = MatchKeyword(parts.function, kKinds);
    if (k == 0) {
        return false;
    }
    kind = k == 3 ? kDigital : kAnalog;
    DataFormat f = DataFormat::Binary;
    if (std::strcmp(parts.suffix, kAsciiFormat) == 0) {
        f = DataFormat::Ascii;
    } else if (kind == kDigital && std::strcmp(parts.suffix, kHexFormat) == 0) {
        f = DataFormat::Hex;
    }
    format = static_cast<int32_t>(f);
    return true;
}

// Reports a series of values under the sub-result "DATA".
void ReportData(const StepCall& call, long unit, const double* analog, const int32_t* digital,
                int64_t count) {
    std::vector<double> shown;
    if (!analog && digital) {
        shown.assign(digital, digital + count);
        analog = shown.data();
    }
    rvo_VerifyRE(1, "DATA", call.lineCode, unit, static_cast<long>(count), analog, 0.0,
                 call.comment);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

bool ReadIntoArray(StepError& error, const ReadRecord& r, const char* fileName, double gain,
                   double offset, NamedArray& array) {
    const auto format = static_cast<DataFormat>(r.format);
    File file(std::fopen(fileName ? fileName : "", format == DataFormat::Binary ? "rb" : "r"));
    if (!file) {
        return error.Set(kErrFunction, kFileNotFound);
    }
    int64_t count = 0;
    DataStatus status;
    if (r.kind == kAnalog) {
        double* values = nullptr;
        status = ReadAnalogData(file.get(), format, gain, offset, &values, &count);
        array.buffers[0] = values;
    } else {
        int32_t* values = nullptr;
        status = ReadDigitalData(file.get(), format, &values, &count);
        array.buffers[1] = values;
    }
    array.count = count;
    array.capacity = count;
    switch (status) {
    case DataStatus::NoMemory:
        return error.Set(kErrFunction, kMallocError);
    case DataStatus::NotAllRead:
        return error.Set(kErrFunction, kNotAllRead);
    case DataStatus::ShrinkFailed:
        return error.Set(kErrFunction, kReallocError);
    case DataStatus::Ok:
        break;
    }
    return true;
}

// Writes to a file; the count written, or -1 with the error set.
int64_t WriteToFile(StepError& error, const WriteRecord& r, const char* fileName,
                    const double* analog, const int32_t* digital, int64_t count) {
    if (r.kind == kAnalog && !analog) {
        error.Set(kErrFunction, kAnalogNull);
        return -1;
    }
    if (r.kind == kDigital && !digital) {
        error.Set(kErrFunction, kDigitalNull);
        return -1;
    }
    const auto format = static_cast<DataFormat>(r.format);
    const bool binary = format == DataFormat::Binary;
    File file(std::fopen(fileName ? fileName : "", binary ? "wb" : "w"));
    if (!file) {
        error.Set(kErrFunction, binary ? kFileNotFound : kFileOpenError);
        return -1;
    }
    const int64_t written = r.kind == kAnalog
                                ? WriteAnalogData(file.get(), format, analog, count)
                                : WriteDigitalData(file.get(), format, digital, count);
    if (binary && written < count) {
        error.Set(kErrFunction, kNotAllWritten);
        return -1;
    }
    return written;
}

// Grows both value arrays of a named array to `count` values; false with the error set.
bool GrowArray(StepError& error, NamedArray& array, int64_t count) {
    const auto size = static_cast<std::size_t>(count);
    void* analog = std::realloc(array.buffers[0], size * sizeof(double) + 1);
    if (!analog) {
        return error.Set(kErrFunction, kReallocAnalog);
    }
    array.buffers[0] = analog;
    void* digital = std::realloc(array.buffers[1], size * sizeof(int32_t) + 1);
    if (!digital) {
        return error.Set(kErrFunction, kReallocDigital);
    }
    array.buffers[1] = digital;
    for (int64_t i = array.count; i < count; ++i) {
        AnalogOf(array)[i] = 0.0;
        DigitalOf(array)[i] = 0;
    }
    array.count = count;
    array.capacity = count;
    return true;
}

} // namespace
} // namespace kora

using namespace kora;

KORA_EXPORT EN_NEV_RESULT READ_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                      long stepArg, const char* comment, const char* DevChanAttr,
                                      const char* FileName, double GainAValues, double OffsAValues,
                                      long* ReadCount) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "READ_SYSTEM"};
    return RunStandardPass<ReadRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            ReadRecord& r = *pass.record;
            r.head.selector = 0;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, call.methodName, 1)) {
                return;
            }
            const DevChanParts& parts = r.head.parts;
            if (parts.device[0] == 0 || std::strcmp(parts.channel, kReadTarget) != 0 ||
                !CompileKind(parts, r.kind, r.format)) {
                RefuseDevChanAttr(pass.error, DevChanAttr);
                return;
            }
            r.head.selector = 1;
            r.gain = GainAValues;
            r.offset = OffsAValues;
            CopyText(r.data, "NO");
            rvo_DefineAttrR("GainAValues", call.methodName, &r.gain, kUnitNumber, nullptr);
            rvo_DefineAttrR("OffsAValues", call.methodName, &r.offset, kUnitNumber, nullptr);
            rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataChoices, nullptr);
            rvo_DefineAttrI("ReadCount", kDetails, &r.readCount, kUnitCount, nullptr);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            ReadRecord& r = *pass.record;
            if (ReadCount) {
                *ReadCount = 0;
            }
            if (r.head.selector != 1) {
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            r.gain = GainAValues;
            r.offset = OffsAValues;
            rvo_UpdateAttrR(r.head.component, &r.gain);
            rvo_UpdateAttrR(r.head.component, &r.offset);
            rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
            NamedArray* array = FindArray(pass.bench, r.kind, r.head.parts.device,
                                          kArrayFindOrCreate, pass.error.message);
            if (!array) {
                pass.error.code = kErrFunction;
                return -2;
            }
            std::free(array->buffers[r.kind == kAnalog ? 0 : 1]);
            array->buffers[r.kind == kAnalog ? 0 : 1] = nullptr;
            array->count = 0;
            const EN_NEV_RESULT result = static_cast<EN_NEV_RESULT>(rvo_VerifyS(
                0, stepName, lineCode, 0, OrEmpty(FileName), "", "", 0, 0.0, DevChanAttr, comment));
            if (!ReadIntoArray(pass.error, r, FileName, GainAValues, OffsAValues, *array)) {
                return -2;
            }
            r.readCount = static_cast<int32_t>(array->count);
            rvo_UpdateAttrI(r.head.component, &r.readCount);
            if (ReadCount) {
                *ReadCount = static_cast<long>(array->count);
            }
            if (std::strcmp(r.data, kDataYes) == 0) {
                ReportData(call, kUnitNumber, r.kind == kAnalog ? AnalogOf(*array) : nullptr,
                           DigitalOf(*array), array->count);
            }
            return result;
        });
}

KORA_EXPORT EN_NEV_RESULT WRITE_SYSTEM(long stepRef, const char* stepName, long lineCode,
                                       long stepArg, const char* comment, const char* DevChanAttr,
                                       const char* FileName, long SampleCount, double* AValues,
                                       long* DValues, long* WriteCount) {
    const StepCall call{stepRef, stepName, lineCode, stepArg, comment, "WRITE_SYSTEM"};
    return RunStandardPass<WriteRecord>(
        call, kKindNone, true,
        [&](auto& pass) {
            WriteRecord& r = *pass.record;
            r.head.selector = kModeNone;
            if (!CompileDevChanAttr(pass.error, r.head, DevChanAttr, call.methodName, 0)) {
                return;
            }
            const DevChanParts& parts = r.head.parts;
            const int mode = MatchKeyword(parts.channel, kModes);
            if (mode == 0 || (mode != kMemToDrive && parts.device[0] == 0) ||
                !CompileKind(parts, r.kind, r.format)) {
                RefuseDevChanAttr(pass.error, DevChanAttr);
                return;
            }
            r.head.selector = mode;
            r.sampleCount = static_cast<int32_t>(SampleCount);
            CopyText(r.data, "NO");
            rvo_DefineAttrI("SampleCount", call.methodName, &r.sampleCount, kUnitCount, nullptr);
            rvo_DefineAttrSList("DATA", kDetails, r.data, sizeof r.data, kDataChoices, nullptr);
            rvo_DefineAttrI("WriteCount", kDetails, &r.writeCount, kUnitCount, kSamplesLabel);
        },
        [&](auto& pass) -> EN_NEV_RESULT {
            WriteRecord& r = *pass.record;
            if (WriteCount) {
                *WriteCount = 0;
            }
            r.sampleCount = static_cast<int32_t>(SampleCount);
            rvo_UpdateAttrI(r.head.component, &r.sampleCount);
            rvo_ReadAttrSList(r.head.component, r.data, sizeof r.data);
            const int64_t wanted = SampleCount > 0 ? SampleCount : 0;
            const char* name = r.head.parts.device;
            EN_NEV_RESULT result = 0;
            int64_t count = 0;
            switch (r.head.selector) {
            case kMemToDrive:
            case kArrayToDrive: {
                const double* analog = AValues;
                const int32_t* digital = nullptr;
                std::vector<int32_t> words;
                count = wanted;
                if (r.head.selector == kArrayToDrive) {
                    NamedArray* array =
                        FindArray(pass.bench, r.kind, name, kArrayFind, pass.error.message);
                    if (!array) {
                        pass.error.code = kErrFunction;
                        return -2;
                    }
                    count = array->count;
                    analog = AnalogOf(*array);
                    digital = DigitalOf(*array);
                } else if (DValues) {
                    words.assign(DValues, DValues + count);
                    digital = words.data();
                }
                result = static_cast<EN_NEV_RESULT>(rvo_VerifyS(0, stepName, lineCode, 0,
                                                                OrEmpty(FileName), "", "", 0, 0.0,
                                                                DevChanAttr, comment));
                count = WriteToFile(pass.error, r, FileName, analog, digital, count);
                if (count < 0) {
                    return -2;
                }
                if (std::strcmp(r.data, kDataYes) == 0) {
                    ReportData(call, 0, r.kind == kAnalog ? analog : nullptr, digital, count);
                }
                break;
            }
            case kMemToArray: {
                NamedArray* array =
                    FindArray(pass.bench, r.kind, name, kArrayFindOrCreate, pass.error.message);
                if (!array) {
                    pass.error.code = kErrFunction;
                    return -2;
                }
                const bool empty = !array->buffers[0] || !array->buffers[1];
                if ((wanted > array->count || empty) &&
                    !GrowArray(pass.error, *array, std::max(wanted, array->count))) {
                    return -2;
                }
                // Never more values than the caller said it has.
                const int64_t copied = std::min(wanted, array->count);
                if (r.kind == kAnalog && AValues) {
                    std::memcpy(AnalogOf(*array), AValues,
                                static_cast<std::size_t>(copied) * sizeof(double));
                } else if (r.kind == kDigital && DValues) {
                    for (int64_t i = 0; i < copied; ++i) {
                        DigitalOf(*array)[i] = static_cast<int32_t>(DValues[i]);
                    }
                }
                count = array->count;
                break;
            }
            case kArrayToMem: {
                NamedArray* array =
                    FindArray(pass.bench, r.kind, name, kArrayFind, pass.error.message);
                if (!array) {
                    pass.error.code = kErrFunction;
                    return -2;
                }
                if (array->count > wanted) {
                    pass.error.Set(kErrFunction, kExceedsTarget);
                    return -2;
                }
                if (r.kind == kAnalog && AValues && AnalogOf(*array)) {
                    std::memcpy(AValues, AnalogOf(*array),
                                static_cast<std::size_t>(array->count) * sizeof(double));
                } else if (r.kind == kDigital && DValues && DigitalOf(*array)) {
                    for (int64_t i = 0; i < array->count; ++i) {
                        DValues[i] = DigitalOf(*array)[i];
                    }
                }
                count = array->count;
                break;
            }
            default:
                pass.error.Set(kErrFunction, kInvalidSetting);
                return -2;
            }
            r.writeCount = static_cast<int32_t>(count);
            rvo_UpdateAttrI(r.head.component, &r.writeCount);
            if (WriteCount) {
                *WriteCount = static_cast<long>(count);
            }
            if (r.head.selector == kMemToArray || r.head.selector == kArrayToMem) {
                result = static_cast<EN_NEV_RESULT>(rvo_VerifyI(0, stepName, lineCode, kUnitCount,
                                                                0, "", static_cast<long>(count), "",
                                                                0, 0, 0.0, DevChanAttr, comment));
            }
            return result;
        });
}
