// All platform interface headers in one C++ translation unit: no name may be defined twice, and
// the structures must have the same layout as C code sees (headers_c_check.c) and, where the
// library exchanges them with the target platform, that platform's layout.
#include <dcpwr.h>
#include <diomgr.h>
#include <dmm.h>
#include <funcgen.h>
#include <platform_types.h>
#include <resmgr.h>
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
#include <rvoapi.h>
#include <siganl.h>
#include <ucm.h>
#include <util.h>
#include <vx_urm.h>
#include <winapi.h>
#include <zqsm160.h>

#include "headers_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

// The C part is linked weakly: without it the comparison is skipped, not the build broken.
extern "C" __attribute__((weak)) size_t KoraHeadersCLayout(const KoraLayoutEntry** entries);
extern "C" __attribute__((weak)) void KoraHeadersCSetDcbFlags(DCB* dcb);

namespace {

// The target platform's sizes of the blocks the serial and echo code hand to the system.
static_assert(sizeof(DCB) == 28);
static_assert(sizeof(COMMTIMEOUTS) == 20);
static_assert(sizeof(ICMP_ECHO_REPLY) == (sizeof(void*) == 8 ? 40 : 28));
static_assert(sizeof(DWORD) == 4 && sizeof(BOOL) == 4 && sizeof(WORD) == 2);

// Handles of drivers fit the 32-bit signed handle fields of the library's records.
static_assert(sizeof(ViSession) == 4 && static_cast<ViSession>(-1) < 0);
static_assert(sizeof(ViStatus) == 4 && sizeof(ViBoolean) == 2);

// One message buffer serves every class library and the resource manager.
static_assert(CLASSLIB_MESSAGE_SIZE == RESMGR_MESSAGE_SIZE);

// The library branches on the sign of these codes: warnings are positive, errors negative.
static_assert(RSPSAM_WARN_OVER_RANGE > 0 && RSPSAM_WARN_OVER_RANGE == 0x3FFA2001);
static_assert(RSPIO2_WARN_OVER_RANGE > 0 && RSPIO2_WARN_OVER_RANGE == 0x3FFA4001);
static_assert(RSPSAM_ERROR_NO_SAMPLES < 0 &&
              static_cast<uint32_t>(RSPSAM_ERROR_NO_SAMPLES) == 0xBFFA402Bu);
static_assert(RSPSM_ERROR_NOT_CONNECTED < 0 &&
              static_cast<uint32_t>(RSPSM_ERROR_NOT_CONNECTED) == 0xBFFA2008u);
static_assert(ROUTE_ERR_CONNECTION < 0 && ROUTE_ERR_NOT_CONFIGURED < 0);
static_assert(DCPWR_ERR_PAC_NOT_RESPONDING < 0 && DCPWR_ERR_NOT_APPLICABLE < 0 &&
              DCPWR_ERR_STATE_NOT_SUPPORTED < 0 && DCPWR_ERR_NO_CHANNELS < 0);
static_assert(DMM_ERR_DEVICE_NOT_PRESENT < 0 && UCM_STATUS_NO_CARDS < 0);

// A pin mask covers the 160 pins of a matrix card exactly.
static_assert(ZQSM160_MASK_WORDS * 32 == ZQSM160_PIN_COUNT);

#define KORA_LAYOUT_ENTRY(name, value) {#name, (value)},

TEST(PlatformHeaders, CAndCppSeeTheSameLayouts) {
    if (KoraHeadersCLayout == nullptr || KoraHeadersCSetDcbFlags == nullptr) {
        GTEST_SKIP() << "headers_c_check.c is not linked into this test program";
    }
    const KoraLayoutEntry cppLayout[] = {KORA_PLATFORM_LAYOUT(KORA_LAYOUT_ENTRY)};
    const KoraLayoutEntry* cLayout = nullptr;
    const size_t cCount = KoraHeadersCLayout(&cLayout);
    ASSERT_EQ(cCount, std::size(cppLayout));
    std::map<std::string, size_t> seenByC;
    for (size_t i = 0; i < cCount; ++i) {
        seenByC[cLayout[i].name] = cLayout[i].value;
    }
    for (const KoraLayoutEntry& entry : cppLayout) {
        ASSERT_EQ(seenByC.count(entry.name), 1u) << entry.name;
        EXPECT_EQ(seenByC[entry.name], entry.value) << entry.name;
    }

    DCB fromC;
    DCB fromCpp;
    std::memset(&fromC, 0, sizeof fromC);
    std::memset(&fromCpp, 0, sizeof fromCpp);
    KoraHeadersCSetDcbFlags(&fromC);
    KORA_SET_DCB_FLAGS(&fromCpp);
    EXPECT_EQ(std::memcmp(&fromC, &fromCpp, sizeof(DCB)), 0);
    EXPECT_EQ(fromCpp.fRtsControl, 3u) << "a flag spilled into its neighbours";
    EXPECT_EQ(fromCpp.fDummy2, 0x15A5Au);
}

} // namespace
