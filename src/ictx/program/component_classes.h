// Component class texts of the component file and the class counts that a load reports.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>

namespace kora {

// Class code and sub-test count of a section's class text; any text not in the list is a
// component without a test (class 29, three sub-tests).
void LookupComponentClass(const char* classText, uint32_t* classCode, uint32_t* subTests);

// The class text the writer puts into a section header for `record`: the name of its class
// code, or the record's own class text for codes without a name.
const char* ComponentClassText(const ComponentRecord& record);

// The name of a class's compensation value ("CAP0", "IND0", "RES0"), under which a component's
// own value is shown and kept in its component file; null for classes without one.
const char* CompensationValueName(uint32_t classCode);

// One line of the load report: result id, name and how many components it counts.
struct ClassCount {
    const char* name;
    int32_t id;
    int32_t count;
};
constexpr int kClassCountLines = 20;

// Counts the components by class as a load reports them (a COMPENSATION component counts as
// such whatever its class); fills all lines and returns the total number of components.
int32_t CountComponentClasses(const ComponentRecord* components, int32_t count,
                              ClassCount (&lines)[kClassCountLines]);

} // namespace kora
