// The four functions of vornet.vornet_core: their rows for the function type,
// and what the module's initialisation makes for them once.
#ifndef VORNET_CORE_FUNCTIONS_H
#define VORNET_CORE_FUNCTIONS_H

#include <cstddef>

#include "function_type.h"

namespace vornet::core {

// baw_price, baw_implied_vol, vectorized_baw_implied_vol, find_forward_baw,
// in the order the module creates them.
extern const function_def functions[];
extern const std::size_t function_count;

// The interned strings and constant objects the bodies use, and the
// namespace of `builtins` that global look-ups fall back to. Made by the
// module's exec step, once for the process; a failed import keeps what it
// made and the next one completes it.
int create_function_constants(PyObject *builtins_namespace);

}  // namespace vornet::core

#endif
