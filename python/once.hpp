// Process-wide Python objects (exception classes, type objects, imported helpers),
// created on first use under the interpreter lock and kept for the life of the process.
#pragma once

#include "python/pyapi.hpp"

namespace orvanel::py {

// Stores `made` (a new reference, or null after a failed creation) in `slot` unless
// another thread published an object there while `made` was being built (creating an
// object can run Python code, which can switch threads); the first published object
// wins and the later one is dropped. Returns the published object, borrowed from the
// slot, or null with the creation's exception set.
inline PyObject* publish_once(PyObject*& slot, PyObject* made) noexcept {
    if (made == nullptr) return nullptr;
    if (slot != nullptr) {
        Py_DECREF(made);
        return slot;
    }
    slot = made;
    return made;
}

}  // namespace orvanel::py
