// Header-only toolkit for the CPython C API, shared by the extension
// modules; each part has one job.
#ifndef QZ_CAPI_HPP
#define QZ_CAPI_HPP

#include "capi/refs.hpp"        // owned references, interned names
#include "capi/assertions.hpp"  // the assertion switch of -O
#include "capi/arguments.hpp"   // argument binding with the system's messages
#include "capi/conversions.hpp" // number converters, the bounded item walk
#include "capi/objects.hpp"     // attribute access, equality, global lookup
#include "capi/classes.hpp"     // ordinary classes, the pickling refusal
#include "capi/module.hpp"      // module state, initialisation, dealloc

#endif
