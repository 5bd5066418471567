// Marks an exported entry of libkora. Everything else is hidden; the version script generated
// from the step-method table then keeps exactly the implemented entries.
#pragma once

#define KORA_EXPORT extern "C" __attribute__((visibility("default")))
