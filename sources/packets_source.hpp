// The input of a qz_packets record decoder and the three ways it reads a
// field from it: one byte by indexing, an unsigned little-endian number
// from a slice, and strict ASCII text from a slice.
//
// An exact bytes object is immutable, so a record may read a window of it
// in place, and a device frame is decoded without cutting it into pieces.
// An exact bytearray is read in place too, but its buffer and size are
// fetched again at every access: a subclass hook run between two fields (a
// __setattr__, a property) may resize it. Anything else goes through the
// object protocol (len(), indexing, slicing with slice objects,
// int.from_bytes, .decode), which both in-place readers reproduce exactly,
// down to the exceptions; on an error they let the protocol raise it.
#ifndef QZ_PACKETS_SOURCE_HPP
#define QZ_PACKETS_SOURCE_HPP

#include "capi.hpp"
#include "packets_layout.hpp"

#include <climits>
#include <cstring>
#include <utility>

namespace packets
{

// The names that the object-protocol path calls, interned by the module.
struct ProtocolNames {
    PyObject *str_decode, *str_ascii, *str_from_bytes, *str_little;
};

class Source
{
  public:
    Source() = default;

    // Reads `obj`, a borrowed reference that the caller keeps alive;
    // `names` are those of the module that reads it.
    static Source of(PyObject *obj, const ProtocolNames &names)
    {
        if (PyBytes_CheckExact(obj))
            return Source(obj, names, Kind::window, 0, PyBytes_GET_SIZE(obj));
        return Source(obj, names,
                      PyByteArray_CheckExact(obj) ? Kind::array
                                                  : Kind::protocol);
    }

    // Whether the input is read in place, with no code of the caller's
    // able to run, rather than through the object protocol.
    bool in_place() const { return kind_ != Kind::protocol; }

    // len(bytes): the length, or -1 with an exception set.
    Py_ssize_t length() const
    {
        return kind_ == Kind::protocol ? PyObject_Size(obj_) : size();
    }

    // int(bytes[index]) for an index >= 0, as a new reference.
    CAPI_ALWAYS_INLINE PyObject *byte(Py_ssize_t index) const
    {
        if (kind_ != Kind::protocol && index < size())
            return PyLong_FromLong(data()[index]);
        // the protocol path, which also raises the input's own IndexError
        capi::Ref whole(object());
        capi::Ref key(PyLong_FromSsize_t(index));
        if (!whole || !key)
            return nullptr;
        capi::Ref item(PyObject_GetItem(whole.get(), key.get()));
        return item ? PyNumber_Long(item.get()) : nullptr;
    }

    // int.from_bytes(bytes[start:stop], "little"); `slice` is that slice
    // object for the protocol path, or nullptr for the whole input, which
    // is converted as it is. An empty slice gives 0.
    CAPI_ALWAYS_INLINE PyObject *number(Py_ssize_t start, Py_ssize_t stop,
                                        PyObject *slice) const
    {
        capi::Ref piece;
        if (kind_ == Kind::protocol) {
            piece = slice != nullptr ? capi::Ref(PyObject_GetItem(obj_, slice))
                                     : capi::Ref::borrow(obj_);
        } else {
            Py_ssize_t first, count;
            clip(start, stop, &first, &count);
            const unsigned char *bytes = data() + first;
            if (count <= 8) {
                unsigned long long value = 0;
                for (Py_ssize_t i = count; i-- > 0;)
                    value = value << 8 | bytes[i];
                // the interpreter makes a one-digit int faster this way
                return value <= LONG_MAX
                           ? PyLong_FromLong(static_cast<long>(value))
                           : PyLong_FromUnsignedLongLong(value);
            }
            // wider than 64 bits: only a longer input under -O gets here
            piece = capi::Ref(PyBytes_FromStringAndSize(
                reinterpret_cast<const char *>(bytes), count));
        }
        if (!piece)
            return nullptr;
        return PyObject_CallMethodObjArgs(
            reinterpret_cast<PyObject *>(&PyLong_Type), names_->str_from_bytes,
            piece.get(), names_->str_little, nullptr);
    }

    // bytes[start:stop].decode("ascii"), as a new reference.
    PyObject *text(Py_ssize_t start, Py_ssize_t stop, PyObject *slice) const
    {
        if (kind_ == Kind::protocol) {
            capi::Ref piece(PyObject_GetItem(obj_, slice));
            if (!piece)
                return nullptr;
            return PyObject_CallMethodObjArgs(piece.get(), names_->str_decode,
                                              names_->str_ascii, nullptr);
        }
        // the codec that bytes.decode and bytearray.decode run, with the
        // same UnicodeDecodeError (its object is always a bytes copy)
        Py_ssize_t first, count;
        clip(start, stop, &first, &count);
        return PyUnicode_DecodeASCII(
            reinterpret_cast<const char *>(data() + first), count, nullptr);
    }

    // bytes[start:stop].decode("ascii") == expected, for a str `expected`
    // that holds `length` ASCII characters: 1, 0 or -1.
    int text_equals(Py_ssize_t start, Py_ssize_t stop, PyObject *slice,
                    PyObject *expected, const char *ascii,
                    Py_ssize_t length) const
    {
        if (kind_ != Kind::protocol) {
            Py_ssize_t first, count;
            clip(start, stop, &first, &count);
            const unsigned char *bytes = data() + first;
            if (count == length && std::memcmp(bytes, ascii, length) == 0)
                return 1;
            bool is_ascii = true;
            for (Py_ssize_t i = 0; i < count; ++i)
                is_ascii = is_ascii && bytes[i] < 0x80;
            if (is_ascii)
                return 0; // decodes, to some other text
        }
        capi::Ref decoded(text(start, stop, slice));
        return decoded ? capi::equal(decoded.get(), expected) : -1;
    }

    // bytes[start:stop] for the objects `start` and `stop`, into `out`.
    int cut(PyObject *start, PyObject *stop, Source *out) const
    {
        if (kind_ == Kind::window && PyLong_CheckExact(start) &&
            PyLong_CheckExact(stop))
            return cut_bounds(clamped_index(start), clamped_index(stop), out);
        capi::Ref key(PySlice_New(start, stop, nullptr));
        return key ? cut(key.get(), out) : -1;
    }

    // bytes[key], into `out`. A window is cut without copying when `key` is
    // a slice with the default step.
    int cut(PyObject *key, Source *out) const
    {
        if (kind_ == Kind::window && PySlice_Check(key) &&
            reinterpret_cast<PySliceObject *>(key)->step == Py_None) {
            Py_ssize_t first, last, step;
            if (PySlice_Unpack(key, &first, &last, &step) < 0)
                return -1;
            return cut_bounds(first, last, out);
        }
        capi::Ref whole(object());
        if (!whole)
            return -1;
        capi::Ref piece(PyObject_GetItem(whole.get(), key));
        if (!piece)
            return -1;
        *out = of(piece.get(), *names_);
        out->owned_ = std::move(piece);
        return 0;
    }

    // bytes[start:stop] of an input read in place, for bounds as a slice
    // with the default step unpacks them, into `out`: a window is cut
    // without copying, a bytearray into a copy, as its slicing does.
    CAPI_ALWAYS_INLINE int cut_bounds(Py_ssize_t start, Py_ssize_t stop,
                                      Source *out) const
    {
        const Py_ssize_t count =
            PySlice_AdjustIndices(size(), &start, &stop, 1);
        if (kind_ == Kind::window) {
            *out = Source(obj_, *names_, Kind::window, offset_ + start, count);
            return 0;
        }
        capi::Ref piece(PyByteArray_FromStringAndSize(
            PyByteArray_AS_STRING(obj_) + start, count));
        if (!piece)
            return -1;
        *out = of(piece.get(), *names_);
        out->owned_ = std::move(piece);
        return 0;
    }

    // The input as an object (new reference). A window is materialised as
    // bytes slicing makes it: the object itself when the window covers all
    // of it, otherwise a new bytes object.
    PyObject *object() const
    {
        if (kind_ == Kind::window &&
            (offset_ != 0 || length_ != PyBytes_GET_SIZE(obj_)))
            return PyBytes_FromStringAndSize(PyBytes_AS_STRING(obj_) + offset_,
                                             length_);
        Py_INCREF(obj_);
        return obj_;
    }

  private:
    enum class Kind { window, array, protocol };

    Source(PyObject *obj, const ProtocolNames &names, Kind kind,
           Py_ssize_t offset = 0, Py_ssize_t length = 0)
        : obj_(obj), names_(&names), offset_(offset), length_(length),
          kind_(kind)
    {
    }

    // An int as a slice bound, clamped to the index range as slicing does.
    static Py_ssize_t clamped_index(PyObject *exact_int)
    {
        int overflow;
        const long long value =
            PyLong_AsLongLongAndOverflow(exact_int, &overflow);
        if (overflow != 0 || value > PY_SSIZE_T_MAX || value < PY_SSIZE_T_MIN)
            return overflow < 0 || value < 0 ? PY_SSIZE_T_MIN : PY_SSIZE_T_MAX;
        return static_cast<Py_ssize_t>(value);
    }

    // For the in-place readers only.
    Py_ssize_t size() const
    {
        return kind_ == Kind::window ? length_ : PyByteArray_GET_SIZE(obj_);
    }
    const unsigned char *data() const
    {
        const char *bytes = kind_ == Kind::window
                                ? PyBytes_AS_STRING(obj_) + offset_
                                : PyByteArray_AS_STRING(obj_);
        return reinterpret_cast<const unsigned char *>(bytes);
    }
    // [start:stop] of the current size, for 0 <= start and stop >= 0 or
    // to_end: the first index and the count of the bytes it selects.
    void clip(Py_ssize_t start, Py_ssize_t stop, Py_ssize_t *first,
              Py_ssize_t *count) const
    {
        const Py_ssize_t n = size();
        const Py_ssize_t lo = start < n ? start : n;
        const Py_ssize_t hi = stop == to_end || stop > n ? n : stop;
        *first = lo;
        *count = hi > lo ? hi - lo : 0;
    }

    capi::Ref owned_;         // a piece that cut() made, if any
    PyObject *obj_ = nullptr; // borrowed, or held by owned_
    const ProtocolNames *names_ = nullptr;
    Py_ssize_t offset_ = 0; // window: the first byte within obj_
    Py_ssize_t length_ = 0; // window: its length
    Kind kind_ = Kind::protocol;
};

} // namespace packets

#endif
