// The one layer that talks to the CPython C API for both extension modules, by role:
//   lookup.hpp    names, module globals, imports and builtins resolved at call time; calls; logging
//   convert.hpp   conversions that are the Python operation (str(), float(), int(), truth, ...)
//   errors.hpp    raising the host's exceptions and testing which one is pending
//   function.hpp  members with plain def signatures called through vectorcall; classes on a Python base
//
// Everything a Python implementation would resolve at run time is resolved at every call (module
// globals, attributes of other modules, methods of `self`), so hosts and tests can substitute them.
// Conversions are the host's own operations, never C++ look-alikes: `str()` is PyObject_Str,
// `float()` is PyNumber_Float, and so on.
#pragma once

#include "interop/convert.hpp"
#include "interop/errors.hpp"
#include "interop/function.hpp"
#include "interop/lookup.hpp"
