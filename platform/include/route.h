/* ROUTE: the switching (routing) instrument-class library.
 *
 * A routing text is a comma list of commands of the switching library's command language:
 * "A>B" connects two points, "A|B" disconnects them, "%" disconnects what the list names (or
 * everything when alone), "?#" waits until all switches have settled. Calls follow the
 * class-library conventions (platform_types.h). */
#ifndef KORA_PLATFORM_ROUTE_H
#define KORA_PLATFORM_ROUTE_H

#include <stdint.h>

#include "platform_types.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Codes the library's callers act on. */
#define ROUTE_ERR_CONNECTION                                                                       \
    (-37005) /* message lists the failing "A > B" connections, one a line */
#define ROUTE_ERR_NOT_CONFIGURED (-37050) /* ROUTE_Setup: the bench has no routing */

/* Sets up the routing of the bench section `benchSection`; handle is -1 on failure. */
KORA_PLATFORM_API int32_t ROUTE_Setup(long context, const char* benchSection, int32_t* handle,
                                      int32_t* warning, int32_t* error,
                                      char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t ROUTE_Cleanup(long context, long handle, int32_t* warning, int32_t* error,
                                        char message[CLASSLIB_MESSAGE_SIZE]);
KORA_PLATFORM_API int32_t ROUTE_Lib_Version(long context, char version[CLASSLIB_VERSION_SIZE],
                                            int32_t* warning, int32_t* error,
                                            char message[CLASSLIB_MESSAGE_SIZE]);
/* Executes a routing text. Here the warning out-value is named status: a positive result is a
 * warning the caller may carry on after. */
KORA_PLATFORM_API int32_t ROUTE_Execute(long context, long handle, const char* command,
                                        int32_t* status, int32_t* error,
                                        char message[CLASSLIB_MESSAGE_SIZE]);
/* The display of the current connections: groups of lines separated by line feeds. Writes at
 * most size bytes (terminated) into buffer and the full length, without the terminator, into
 * length; a null buffer only asks for the length. */
KORA_PLATFORM_API int32_t ROUTE_GetDisplayString(long context, long handle, char* buffer, long size,
                                                 int32_t* length, int32_t* warning, int32_t* error,
                                                 char message[CLASSLIB_MESSAGE_SIZE]);

#ifdef __cplusplus
}
#endif

#endif
