// An owned view of an object's buffer, released exactly once, and the test
// of a view's item format.
#ifndef QZ_CAPI_BUFFERS_HPP
#define QZ_CAPI_BUFFERS_HPP

#include "capi/refs.hpp"

#include <cstring>

namespace capi
{

// A Py_buffer held from a successful PyObject_GetBuffer to the owner's end
// (or reset()). Move-only: the moved-from owner holds nothing.
class Buffer
{
  public:
    Buffer() noexcept = default;
    Buffer(Buffer &&other) noexcept { take(other); }
    Buffer &operator=(Buffer &&other) noexcept
    {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() { reset(); }

    // Asks `obj` for its buffer with `flags` (PyBUF_*). Returns 0, or -1
    // with the exporter's error set and nothing held.
    int acquire(PyObject *obj, int flags)
    {
        reset();
        if (PyObject_GetBuffer(obj, &view_, flags) < 0)
            return -1;
        held_ = true;
        return 0;
    }

    void reset() noexcept
    {
        if (held_) {
            held_ = false;
            PyBuffer_Release(&view_);
        }
    }

    bool held() const noexcept { return held_; }
    const Py_buffer &view() const noexcept { return view_; }
    void *data() const noexcept { return view_.buf; }
    // Whole items in the view (a view's len is in bytes).
    Py_ssize_t items() const noexcept
    {
        return view_.itemsize > 0 ? view_.len / view_.itemsize : 0;
    }

  private:
    // Some exporters point a view's shape or strides into the view itself
    // (array points strides at its own itemsize): those move with it.
    void take(Buffer &other) noexcept
    {
        std::memcpy(&view_, &other.view_, sizeof view_);
        held_ = other.held_;
        other.held_ = false;
        rebase(view_.shape, other);
        rebase(view_.strides, other);
        rebase(view_.suboffsets, other);
    }
    void rebase(Py_ssize_t *&field, const Buffer &other) noexcept
    {
        const char *from = reinterpret_cast<const char *>(&other.view_);
        const char *at = reinterpret_cast<const char *>(field);
        if (field != nullptr && at >= from && at < from + sizeof other.view_)
            field = reinterpret_cast<Py_ssize_t *>(
                reinterpret_cast<char *>(&view_) + (at - from));
    }

    Py_buffer view_{};
    bool held_ = false;
};

// Whether a view's items are the native C type of struct code `code`
// ('d', 'b', ...): the format "x" or "@x", or "=x", "<x" or ">x" in the
// machine's own byte order (the standard sizes of those equal the native
// ones for the codes of fixed-size types). A view without a format holds
// unsigned bytes.
inline bool has_format(const Py_buffer &view, char code)
{
    const char *format = view.format != nullptr ? view.format : "B";
    if (format[0] != '\0' && format[1] == '\0')
        return format[0] == code;
    if (format[0] == '\0' || format[1] != code || format[2] != '\0')
        return false;
#if PY_LITTLE_ENDIAN
    const char own = '<';
#else
    const char own = '>';
#endif
    return format[0] == '@' || format[0] == '=' || format[0] == own;
}

} // namespace capi

#endif
