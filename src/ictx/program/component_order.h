// Order and variants of a loaded component program: the sort by class and nominal value, the
// SETUP copy with the available variants, and the variant sets of the components.
#pragma once

#include "ictx/program/component_model.h"

#include <cstdint>

namespace kora {

// Sort order: classes below DIGITAL first, by class code, then by the nominal value of the
// first sub-test (within 1e-13 equal), then by header line; DIGITAL and later compare equal.
int CompareComponents(const ComponentRecord& a, const ComponentRecord& b);

// Sorts the components by CompareComponents, keeping the file order of equal ones.
void SortComponents(ComponentRecord* components, int32_t count);

// Whether a SETUP section asks for the sort.
bool SortRequested(const ComponentRecord* components, int32_t count);

// Copies the (last) SETUP section into the model and sets its available variants: "-" and the
// SETUP variants, "-" alone without a SETUP section or variants.
void CopySetup(ComponentModel* model, const ComponentRecord* components, int32_t count);

// Gives every component its variant text, word and set from its header's variant list, looked
// up in the model's available variants. False with the message in `error` (kMessageSize bytes)
// for a name that is not available.
bool AssignVariants(const ComponentModel* model, ComponentRecord* components, int32_t count,
                    char* error);

// Reads a variant text as edited by the operator into a variant set. Returns 0, or -1 with the
// message in `error` for an unknown name. Without available variants (no model) and for an
// empty text the set holds every variant.
int ParseVariantText(const char* text, const char* available, uint32_t (&set)[kVariantWords],
                     char* error);

} // namespace kora
