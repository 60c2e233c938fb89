// The library's own module handle, taken when the process attaches it.
#include "quva_common.h"

namespace {
HMODULE g_module = nullptr;
}

void quva_set_module(HMODULE module) { g_module = module; }
HMODULE quva_module(void) { return g_module; }
