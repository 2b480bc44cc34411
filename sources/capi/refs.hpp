// Owned references and interned names.
#ifndef QZ_CAPI_REFS_HPP
#define QZ_CAPI_REFS_HPP

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// For the small steps on the decoders' paths, taken once per field: with
// one instance of the decoder per field the compiler would stop inlining
// them on its own, and the calls cost as much as the steps.
#define CAPI_ALWAYS_INLINE __attribute__((always_inline))

namespace capi
{

// An owned reference. Construction steals; `borrow` takes a new reference;
// `release` hands the reference back to the caller.
class Ref
{
  public:
    Ref() noexcept = default;
    explicit Ref(PyObject *stolen) noexcept : obj_(stolen) {}
    Ref(Ref &&other) noexcept : obj_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept
    {
        PyObject *old = obj_;
        obj_ = other.release();
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    // Py_DECREF rather than Py_XDECREF, which compilers may leave out of
    // line: a call on every path that drops a reference.
    CAPI_ALWAYS_INLINE ~Ref()
    {
        if (obj_ != nullptr)
            Py_DECREF(obj_);
    }

    static Ref borrow(PyObject *borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }
    PyObject *get() const noexcept { return obj_; }
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

  private:
    PyObject *obj_ = nullptr;
};

// Creates the interned string `text` in `slot` (a module-lifetime reference).
inline int intern(PyObject *&slot, const char *text)
{
    slot = PyUnicode_InternFromString(text);
    return slot ? 0 : -1;
}

// Interns each of `texts` into the slot of the same index.
template <size_t count>
int intern_all(PyObject *(&slots)[count], const char *const (&texts)[count])
{
    for (size_t i = 0; i < count; ++i) {
        if (intern(slots[i], texts[i]) < 0)
            return -1;
    }
    return 0;
}

} // namespace capi

#endif
