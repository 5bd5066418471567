/* Every platform interface header, compiled as C: each must stand alone in a C translation unit
 * and all of them together, with the executive's and the resource manager's headers, must
 * declare every name once. The layout this C code sees goes to the C++ test
 * (headers_all_test.cpp) for comparison. */
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

/* Included a second time: the include guards must hold. */
#include <dmm.h>
#include <platform_types.h>
#include <rspsm.h>
#include <winapi.h>

#include "headers_layout.h"

#define KORA_LAYOUT_ENTRY(name, value) {#name, (value)},

static const KoraLayoutEntry kLayout[] = {KORA_PLATFORM_LAYOUT(KORA_LAYOUT_ENTRY)};

size_t KoraHeadersCLayout(const KoraLayoutEntry** entries) {
    *entries = kLayout;
    return sizeof kLayout / sizeof kLayout[0];
}

void KoraHeadersCSetDcbFlags(DCB* dcb) {
    KORA_SET_DCB_FLAGS(dcb);
}
