// The pickle protocol of both classes: reduce/set-state methods and the two
// module-level reconstructors.
#pragma once

#include "native_function.hpp"

namespace qt {

extern const FunctionDef quotra_reduce_def;
extern const FunctionDef quotra_setstate_def;
extern const FunctionDef listener_reduce_def;
extern const FunctionDef listener_setstate_def;
extern const FunctionDef unpickle_quotra_def;
extern const FunctionDef unpickle_listener_def;

}  // namespace qt
