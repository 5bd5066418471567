// Channel ids of the 160-channel matrix card. Ids are the same on every card: pins P1..P160 are
// 1..160, the analog bus channels LABA1..LABD2 are 1001..1008. The card model itself lives in the
// virtual bench; naming needs no session.
#include <zqsm160.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr ViInt32 kFirstPinId = 1;
constexpr ViInt32 kFirstBusId = 1001;
constexpr const char* kBusNames[] = {"LABA1", "LABA2", "LABB1", "LABB2",
                                     "LABC1", "LABC2", "LABD1", "LABD2"};
constexpr ViStatus kErrChannelName = -1074118654; // 0xBFFA4002
constexpr ViStatus kErrNullPointer = -1074118653; // 0xBFFA4003

} // namespace

extern "C" ViStatus ZQsm160_getChannelId(ViSession, ViConstString name, ViInt32* id) {
    if (!name || !id) {
        return kErrNullPointer;
    }
    if (name[0] == 'P' && name[1] >= '1' && name[1] <= '9') {
        char* end = nullptr;
        long n = std::strtol(name + 1, &end, 10);
        if (*end == 0 && n >= 1 && n <= ZQSM160_PIN_COUNT) {
            *id = kFirstPinId + static_cast<ViInt32>(n - 1);
            return 0;
        }
    }
    for (ViInt32 i = 0; i < 8; ++i) {
        if (std::strcmp(name, kBusNames[i]) == 0) {
            *id = kFirstBusId + i;
            return 0;
        }
    }
    return kErrChannelName;
}
