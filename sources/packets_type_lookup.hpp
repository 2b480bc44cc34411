// What qz_packets reads of a class without running any of its code: its
// namespace, a name found along its MRO, and its version tag, which tells
// whether what was found before still holds.
#ifndef QZ_PACKETS_TYPE_LOOKUP_HPP
#define QZ_PACKETS_TYPE_LOOKUP_HPP

#include "capi.hpp"

namespace packets
{

// The version tag of `type` while it is valid, else 0. The interpreter
// renews the tag on every change to the class or one of its bases, so a
// finding recorded with a tag holds while the tag is unchanged. Up to 3.12
// a change clears the valid-tag flag (before 3.12 the old number may stay);
// from 3.13 the flag is no longer set and a change resets the tag to 0.
inline unsigned int valid_version_tag(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)
               ? type->tp_version_tag
               : 0;
#endif
}

// The namespace of `type`, borrowed. Since 3.12 the static builtin types
// (object among them) keep theirs per interpreter, out of tp_dict's reach;
// the interpreter holds it as long as the type lives.
inline PyObject *type_dict(PyTypeObject *type)
{
#if PY_VERSION_HEX >= 0x030C0000
    if (type->tp_dict == nullptr) {
        capi::Ref dict(PyType_GetDict(type));
        return dict.get();
    }
#endif
    return type->tp_dict;
}

// `name` looked up along the MRO of `type`, as attribute lookup finds it,
// without running any code: a borrowed reference, or nullptr (with an
// exception set on an error).
inline PyObject *find_in_mro(PyTypeObject *type, PyObject *name,
                             Py_ssize_t first = 0)
{
    PyObject *mro = type->tp_mro;
    for (Py_ssize_t i = first; mro != nullptr && i < PyTuple_GET_SIZE(mro);
         ++i) {
        auto *base =
            reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, i));
        PyObject *value = PyDict_GetItemWithError(type_dict(base), name);
        if (value != nullptr || PyErr_Occurred())
            return value;
    }
    return nullptr;
}

} // namespace packets

#endif
