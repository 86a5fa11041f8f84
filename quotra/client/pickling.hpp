// Pickle protocol of Quotra and QuotraListner.
//
// An object pickles as a call of a module-level reconstructor with its class,
// a layout checksum and the tuple of its fields. The checksum lets an old
// pickle fail loudly instead of filling fields in the wrong order after the
// layout changes. The module frame turns these definitions into function
// objects: the reduce/setstate pair goes into each class dictionary (under the
// `_cython` names and as __reduce__/__setstate__), the reconstructors into the
// module dictionary, where reduce looks them up at each call.
#pragma once

#include "native_function.hpp"

namespace qt {

extern const FunctionDef quotra_reduce_def;      // Quotra.__reduce_cython__(self)
extern const FunctionDef quotra_setstate_def;    // Quotra.__setstate_cython__(self, __pyx_state)
extern const FunctionDef listener_reduce_def;    // QuotraListner.__reduce_cython__(self)
extern const FunctionDef listener_setstate_def;  // QuotraListner.__setstate_cython__(self, __pyx_state)
extern const FunctionDef unpickle_quotra_def;    // __pyx_unpickle_Quotra(__pyx_type, __pyx_checksum, __pyx_state)
extern const FunctionDef unpickle_listener_def;  // __pyx_unpickle_QuotraListner(...)

}  // namespace qt
