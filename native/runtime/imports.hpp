// Imports and module-global lookups, as the interpreter performs them for a
// module body and for the functions defined in it.
#pragma once

#include <Python.h>

#include "runtime/ref.hpp"

namespace rt {

// `import name` (absolute), through the import machinery.
Ref import_module(PyObject* name, PyObject* globals) noexcept;

// `import name` for the large libraries loaded before us: when sys.modules
// already holds a fully initialised module of that name it is used as it is,
// which skips the import machinery's locking; otherwise `import_module`.
Ref import_initialised(PyObject* name, PyObject* globals) noexcept;

// `from <name> import ...` at `level`: returns the module the names are taken
// from. `fromlist` is a tuple of str.
Ref import_for_from(PyObject* name, PyObject* globals, PyObject* fromlist, int level) noexcept;

// One name of a from-import: the attribute of `module`, else the submodule
// "<module.__name__>.<name>" from sys.modules, else ImportError
// "cannot import name %S".
Ref import_from(PyObject* module, PyObject* name) noexcept;

// A module global as a function body sees it: `globals[name]`, else
// `builtins[name]`, else NameError "name '%U' is not defined".
// The last answer is cached against both dicts' version tags, so a rebinding
// is seen at the next lookup.
struct GlobalName {
    PyObject* name = nullptr;  // interned, borrowed from the names table
    uint64_t globals_version = 0;
    uint64_t builtins_version = 0;
    Kept value;  // owned: a stale entry can never point at a freed object
};
Ref lookup_global(GlobalName& g, PyObject* globals, PyObject* builtins) noexcept;

// NameError "name '%U' is not defined".
void raise_name_error(PyObject* name) noexcept;

}  // namespace rt
