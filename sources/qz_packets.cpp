// Module qz_packets: decodes the device frames of the ranging hardware into
// ordinary record objects, one class per part of a frame, and hands the
// content of a ranging message to the application's handler.
//
// The classes behave exactly as if their methods were written in the
// interpreter's own language: constants are read through the instance, the
// base initialiser is found through the class hierarchy, the module's
// globals (TYPE_DW, TYPE_HB, the record classes) are looked up at every
// call, fields are assigned one by one in layout order, and the length,
// magic and type checks are assertions that -O switches off. Speed comes
// from reading bytes and bytearray objects in place (packets_source.hpp)
// and from building the records of a frame without a class call where
// nothing could tell the difference (packets_classes.hpp).
#include "capi.hpp"
#include "packets_classes.hpp"
#include "packets_names.hpp"
#include "packets_records.hpp"
#include "packets_source.hpp"

#include <initializer_list>
#include <utility>

namespace
{

using capi::Ref;
using namespace packets;

// ---------------------------------------------------------------------------
// QZDWPacket

// self.uwb_params.type == self._MESSAGE_TYPE_RANGING: 1, 0 or -1.
int is_ranging(PyObject *self)
{
    Ref params(get_attr(self, str_uwb_params));
    if (!params)
        return -1;
    Ref type(get_attr(params.get(), str_type));
    if (!type)
        return -1;
    Ref ranging(get_attr(self, str__MESSAGE_TYPE_RANGING));
    if (!ranging)
        return -1;
    return equal(type.get(), ranging.get());
}

int set_record(PyObject *self, PyObject *attr, RecordClass &record,
               PyObject *cls, const Source &src)
{
    Ref value(construct(record, cls, src));
    return value ? set_attr(self, attr, value.get()) : -1;
}

// self.<attr> = <record class>(bytes[self.<slice_name>])
int set_part(PyObject *self, PyObject *attr, RecordClass &record,
             const Source &frame, PyObject *slice_name)
{
    Ref cls(capi::lookup_global(module_globals, record.global));
    if (!cls)
        return -1;
    Ref key(get_attr(self, slice_name));
    if (!key)
        return -1;
    Source piece;
    if (frame.cut(key.get(), &piece) < 0)
        return -1;
    return set_record(self, attr, record, cls.get(), piece);
}

int packet_init(PyObject *self, PyObject *header, PyObject *frame,
                PyObject *callback)
{
    const Source source = Source::of(frame);
    if (set_attr(self, str_header, header) < 0 ||
        set_part(self, str_sub_header, sub_header_class, source,
                 str__SUB_HEADER_SLICE) < 0 ||
        set_part(self, str_uwb_header, uwb_header_class, source,
                 str__UWB_HEADER_SLICE) < 0 ||
        set_part(self, str_uwb_params, uwb_params_class, source,
                 str__UWB_PARAMS_SLICE) < 0)
        return -1;
    Ref key(get_attr(self, str__UWB_PAYLOAD_SLICE));
    if (!key)
        return -1;
    Source payload_data;
    if (source.cut(key.get(), &payload_data) < 0)
        return -1;
    // the whole type byte decides: only 16 is a ranging message
    const int ranging = is_ranging(self);
    if (ranging < 0)
        return -1;
    RecordClass &payload_class = ranging ? message_class : raw_class;
    Ref cls(capi::lookup_global(module_globals, payload_class.global));
    if (!cls || set_record(self, str_uwb_payload, payload_class, cls.get(),
                           payload_data) < 0)
        return -1;
    if (set_part(self, str_uwb_footer, footer_class, source,
                 str__UWB_FOOTER_SLICE) < 0)
        return -1;
    return set_attr(self, str_callback_handle, callback);
}

// For a ranging message:
//     self.callback_handle(self.uwb_header.src_addr,
//                          self.uwb_payload.is_anchor(),
//                          self.uwb_payload.reports)
int packet_callback_impl(PyObject *self)
{
    const int ranging = is_ranging(self);
    if (ranging <= 0)
        return ranging;
    Ref handle(get_attr(self, str_callback_handle));
    if (!handle)
        return -1;
    Ref uwb_header(get_attr(self, str_uwb_header));
    if (!uwb_header)
        return -1;
    Ref src_addr(get_attr(uwb_header.get(), str_src_addr));
    if (!src_addr)
        return -1;
    Ref payload(get_attr(self, str_uwb_payload));
    if (!payload)
        return -1;
    Ref is_anchor(
        PyObject_CallMethodObjArgs(payload.get(), str_is_anchor, nullptr));
    if (!is_anchor)
        return -1;
    payload = Ref(get_attr(self, str_uwb_payload));
    if (!payload)
        return -1;
    Ref reports(get_attr(payload.get(), str_reports));
    if (!reports)
        return -1;
    Ref result(PyObject_CallFunctionObjArgs(handle.get(), src_addr.get(),
                                            is_anchor.get(), reports.get(),
                                            nullptr));
    return result ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Functions of the classes. Each receives the module as its C `self` and
// the instance as args[0], like a function defined in a class body.

PyObject *record_keywords[2];      // self, bytes
PyObject *base_init_keywords[2];   // self, length
PyObject *packet_init_keywords[4]; // self, header, bytes, callback

const capi::Signature record_init_signature = {"__init__", record_keywords, 2,
                                               2};
const capi::Signature base_init_signature = {"__init__", base_init_keywords, 2,
                                             2};
const capi::Signature packet_init_signature = {"__init__",
                                               packet_init_keywords, 3, 4};

template <RecordClass *Record>
PyObject *record_init(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames)
{
    PyObject *values[2]; // borrowed
    if (capi::bind_arguments(record_init_signature, args, nargs, kwnames,
                             values) < 0 ||
        Record->init(Target(values[0]), Source::of(values[1])) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *base_init(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                    PyObject *kwnames)
{
    PyObject *values[2]; // borrowed
    if (capi::bind_arguments(base_init_signature, args, nargs, kwnames,
                             values) < 0 ||
        set_attr(values[0], str__len, values[1]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *base_len(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames)
{
    if (capi::expect_one_argument("__len__", nargs, kwnames) < 0)
        return nullptr;
    return get_attr(args[0], str__len);
}

// (self.flags & self.FLAG_ANCHOR) == self.FLAG_ANCHOR
PyObject *message_is_anchor(PyObject *, PyObject *const *args,
                            Py_ssize_t nargs, PyObject *kwnames)
{
    if (capi::expect_one_argument("is_anchor", nargs, kwnames) < 0)
        return nullptr;
    PyObject *self = args[0];
    Ref flags(get_attr(self, str_flags));
    if (!flags)
        return nullptr;
    Ref mask(get_attr(self, str_FLAG_ANCHOR));
    if (!mask)
        return nullptr;
    Ref masked(PyNumber_And(flags.get(), mask.get()));
    if (!masked)
        return nullptr;
    mask = Ref(get_attr(self, str_FLAG_ANCHOR));
    if (!mask)
        return nullptr;
    return PyObject_RichCompare(masked.get(), mask.get(), Py_EQ);
}

PyObject *packet_init_function(PyObject *, PyObject *const *args,
                               Py_ssize_t nargs, PyObject *kwnames)
{
    PyObject *values[4]; // borrowed
    if (capi::bind_arguments(packet_init_signature, args, nargs, kwnames,
                             values) < 0)
        return nullptr;
    PyObject *callback = values[3] != nullptr ? values[3] : Py_None;
    if (packet_init(values[0], values[1], values[2], callback) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *packet_callback(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                          PyObject *kwnames)
{
    if (capi::expect_one_argument("callback", nargs, kwnames) < 0 ||
        packet_callback_impl(args[0]) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

constexpr int fast_flags = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef base_init_def = {
    "__init__", capi::fastcall(base_init), fast_flags,
    "__init__(self, length)\n--\n\nStores length in _len, as given."};
PyMethodDef base_len_def = {"__len__", capi::fastcall(base_len), fast_flags,
                            "__len__(self)\n--\n\nReturns self._len."};
PyMethodDef header_init_def = {
    "__init__", capi::fastcall(record_init<&header_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 9 header bytes: magic \"@QZ@\", type, packet_len,\n"
    "version. Length, magic and type are asserted."};
PyMethodDef sub_header_init_def = {
    "__init__", capi::fastcall(record_init<&sub_header_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 10 sub-header bytes: scramble, rssi, ts1 to ts8."};
PyMethodDef uwb_header_init_def = {
    "__init__", capi::fastcall(record_init<&uwb_header_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 9 bytes of the UWB MAC header: frm_ctrl, seq_num, panid,\n"
    "dst_addr, src_addr."};
PyMethodDef uwb_params_init_def = {
    "__init__", capi::fastcall(record_init<&uwb_params_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 9 bytes of radio parameters: slot, frame, db, msg_cnt,\n"
    "rf_profile, type."};
PyMethodDef raw_init_def = {
    "__init__", capi::fastcall(record_init<&raw_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Keeps the payload object itself in message; len() is its length."};
PyMethodDef report_init_def = {
    "__init__", capi::fastcall(record_init<&report_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 10 bytes of a ranging report: flags, addr, ts, dist."};
PyMethodDef message_init_def = {
    "__init__", capi::fastcall(record_init<&message_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 19-byte message header and the cnt reports after it."};
PyMethodDef message_is_anchor_def = {
    "is_anchor", capi::fastcall(message_is_anchor), fast_flags,
    "is_anchor(self)\n--\n\nWhether bit FLAG_ANCHOR of flags is set."};
PyMethodDef footer_init_def = {
    "__init__", capi::fastcall(record_init<&footer_class>), fast_flags,
    "__init__(self, bytes)\n--\n\n"
    "Decodes the 2 footer bytes into fcs (not verified)."};
PyMethodDef packet_init_def = {
    "__init__", capi::fastcall(packet_init_function), fast_flags,
    "__init__(self, header, bytes, callback=None)\n--\n\n"
    "Cuts the whole frame into its records; keeps header and callback."};
PyMethodDef packet_callback_def = {
    "callback", capi::fastcall(packet_callback), fast_flags,
    "callback(self)\n--\n\n"
    "For a ranging message, calls\n"
    "callback_handle(src_addr, is_anchor, reports); returns None."};

// ---------------------------------------------------------------------------
// Class calls

// A call of one of the module's classes skips type.__call__ while the class
// is still as created (the default __new__, its own __init__): the instance
// comes from object.__new__, as the default call would make it, and the
// namespace's __init__ runs on it with the arguments as given, with no
// bound method, argument tuple or keyword dict in between. Any other class
// that reaches here (a subclass) takes the default call. Before 3.9 class
// calls never use tp_vectorcall.
#if PY_VERSION_HEX >= 0x03090000
struct ClassCall {
    PyObject *cls;           // borrowed: the module holds it
    PyObject *init_function; // the __init__ of its namespace, owned
    unsigned int version;    // version tag found as created, 0: none
};

ClassCall class_calls[10];
size_t class_call_count = 0;

// The version tag of `type` while it is valid, else 0.
unsigned int valid_version(PyTypeObject *type)
{
#if PY_VERSION_HEX < 0x030D0000
    if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG))
        return 0;
#endif
    return type->tp_version_tag;
}

// 1 when the call of `call.cls` may skip type.__call__, 0 if not, -1 with
// an exception.
int as_created(ClassCall &call)
{
    auto *type = reinterpret_cast<PyTypeObject *>(call.cls);
    const unsigned int version = valid_version(type);
    if (version != 0 && version == call.version)
        return 1;
    if (type->tp_new != PyBaseObject_Type.tp_new)
        return 0;
    PyObject *init = find_in_mro(type, str___init__); // borrowed
    if (init != call.init_function)
        return PyErr_Occurred() ? -1 : 0;
    call.version = version;
    return 1;
}

// type.__call__(cls, *args, **kwargs) of a vectorcall.
PyObject *default_call(PyObject *cls, PyObject *const *args, Py_ssize_t nargs,
                       PyObject *kwnames)
{
    Ref positional(PyTuple_New(nargs));
    if (!positional)
        return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        Py_INCREF(args[i]);
        PyTuple_SET_ITEM(positional.get(), i, args[i]);
    }
    Ref keywords;
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) > 0) {
        keywords = Ref(PyDict_New());
        if (!keywords)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i),
                               args[nargs + i]) < 0)
                return nullptr;
        }
    }
    return PyType_Type.tp_call(cls, positional.get(), keywords.get());
}

PyObject *class_vectorcall(PyObject *cls, PyObject *const *args, size_t nargsf,
                           PyObject *kwnames)
{
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t count =
        nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    PyObject *stack[5]; // borrowed: self and the arguments
    ClassCall *call = nullptr;
    for (size_t i = 0; i < class_call_count; ++i) {
        if (class_calls[i].cls == cls)
            call = &class_calls[i];
    }
    if (call == nullptr || count + 1 > 5)
        return default_call(cls, args, nargs, kwnames);
    const int direct = as_created(*call);
    if (direct < 0)
        return nullptr;
    if (direct == 0)
        return default_call(cls, args, nargs, kwnames);
    auto *type = reinterpret_cast<PyTypeObject *>(cls);
    Ref self(type->tp_new(type, empty_tuple, nullptr));
    if (!self)
        return nullptr;
    stack[0] = self.get();
    for (Py_ssize_t i = 0; i < count; ++i)
        stack[i + 1] = args[i];
    Ref result(PyObject_Vectorcall(
        PyInstanceMethod_GET_FUNCTION(call->init_function), stack, nargs + 1,
        kwnames));
    return result ? self.release() : nullptr;
}

#endif

// Lets calls of `cls`, whose namespace's __init__ is `init`, skip
// type.__call__.
void add_class_call(PyObject *cls, PyObject *init)
{
#if PY_VERSION_HEX >= 0x03090000
    if (class_call_count < sizeof class_calls / sizeof class_calls[0]) {
        Py_INCREF(init); // kept for the life of the process
        class_calls[class_call_count++] = {cls, init, 0};
        reinterpret_cast<PyTypeObject *>(cls)->tp_vectorcall = class_vectorcall;
    }
#else
    (void)cls;
    (void)init;
#endif
}

// ---------------------------------------------------------------------------
// Classes

PyObject *object_class()
{
    return reinterpret_cast<PyObject *>(&PyBaseObject_Type);
}

int set_int(PyObject *ns, const char *name, long value)
{
    Ref number(PyLong_FromLong(value));
    return number ? PyDict_SetItemString(ns, name, number.get()) : -1;
}

int set_slice(PyObject *ns, const char *name, Py_ssize_t start,
              Py_ssize_t stop)
{
    Ref slice(new_slice(start, stop));
    return slice ? PyDict_SetItemString(ns, name, slice.get()) : -1;
}

// A class namespace: the docstring and the functions in `defs`.
PyObject *new_namespace(PyObject *module, const char *doc,
                        std::initializer_list<PyMethodDef *> defs)
{
    Ref ns(PyDict_New());
    Ref text(PyUnicode_FromString(doc));
    if (!ns || !text || PyDict_SetItemString(ns.get(), "__doc__", text.get()))
        return nullptr;
    for (PyMethodDef *def : defs) {
        if (capi::add_function(ns.get(), def, module) < 0)
            return nullptr;
    }
    return ns.release();
}

// Creates class `name` from `ns` and binds it in the module. Returns a new
// reference to it; `*init`, if given, receives a new reference to the
// __init__ of the namespace.
PyObject *add_class(PyObject *module, const char *name, PyObject *base,
                    PyObject *ns, PyObject **init)
{
    PyObject *own_init = PyDict_GetItemWithError(ns, str___init__); // borrowed
    if (own_init == nullptr)
        return nullptr;
    if (init != nullptr) {
        *init = own_init;
        Py_INCREF(*init);
    }
    Ref cls(capi::new_class(module, name, base, ns));
    if (!cls ||
        capi::add_to_module(module, name, Ref::borrow(cls.get())) < 0)
        return nullptr;
    add_class_call(cls.get(), own_init);
    return cls.release();
}

int add_message_class(PyObject *module)
{
    Ref ns(new_namespace(
        module,
        "UWBRangingMessage(bytes): a ranging message, its header fields\n"
        "and the list of its UWBRangingReport objects in reports.",
        {&message_init_def, &message_is_anchor_def}));
    if (!ns || set_int(ns.get(), "RANGING_MESSAGE_HEADER_LENGTH", 19) < 0 ||
        set_int(ns.get(), "FLAG_ANCHOR", 1) < 0 ||
        capi::intern(message_class.global, message_class.name) < 0)
        return -1;
    message_class.cls = add_class(module, message_class.name, object_class(),
                                  ns.get(), &message_class.init_function);
    return message_class.cls != nullptr ? 0 : -1;
}

int add_packet_class(PyObject *module)
{
    Ref ns(new_namespace(
        module,
        "QZDWPacket(header, bytes, callback=None): a device frame of type\n"
        "\"DW\" cut into its records; callback() hands a ranging message\n"
        "to the handler.",
        {&packet_init_def, &packet_callback_def}));
    if (!ns || set_slice(ns.get(), "_SUB_HEADER_SLICE", 9, 19) < 0 ||
        set_slice(ns.get(), "_UWB_HEADER_SLICE", 19, 28) < 0 ||
        set_slice(ns.get(), "_UWB_PARAMS_SLICE", 28, 37) < 0 ||
        set_slice(ns.get(), "_UWB_PAYLOAD_SLICE", 37, -2) < 0 ||
        set_slice(ns.get(), "_UWB_FOOTER_SLICE", -2, to_end) < 0 ||
        set_int(ns.get(), "_MESSAGE_TYPE_RANGING", 16) < 0)
        return -1;
    Ref cls(
        add_class(module, "QZDWPacket", object_class(), ns.get(), nullptr));
    return cls ? 0 : -1;
}

// A record class derived from BasePacket: its length constant and its
// __init__.
struct RecordDefinition {
    RecordClass *record;
    long length;
    const char *doc;
    PyMethodDef *init;
};

const RecordDefinition records_before_message[] = {
    {&header_class, 9, "Header(bytes): the 9-byte header of a device frame.",
     &header_init_def},
    {&sub_header_class, 10,
     "SubHeader(bytes): the 10-byte sub-header of a device frame.",
     &sub_header_init_def},
    {&uwb_header_class, 9, "UWBHeader(bytes): the 9-byte UWB MAC header.",
     &uwb_header_init_def},
    {&uwb_params_class, 9,
     "UWBParams(bytes): the 9 bytes of radio parameters.",
     &uwb_params_init_def},
    {&raw_class, 0, "UWBRawMessage(bytes): a payload kept undecoded.",
     &raw_init_def},
    {&report_class, 10,
     "UWBRangingReport(bytes): one 10-byte ranging report.",
     &report_init_def},
};
const RecordDefinition footer_definition = {
    &footer_class, 2, "UWBFooter(bytes): the 2-byte footer of the UWB frame.",
    &footer_init_def};

// Adds a record class with the int class constant of its record, if any.
int add_record_class(PyObject *module, PyObject *base,
                     const RecordDefinition &definition)
{
    RecordClass &record = *definition.record;
    Ref ns(new_namespace(module, definition.doc, {definition.init}));
    Ref value(PyLong_FromLong(definition.length));
    if (!ns || !value ||
        (record.constant != nullptr &&
         PyDict_SetItem(ns.get(), *record.constant, value.get()) < 0) ||
        capi::intern(record.global, record.name) < 0)
        return -1;
    record.cls =
        add_class(module, record.name, base, ns.get(), &record.init_function);
    return record.cls != nullptr ? 0 : -1;
}

// Binds the ten classes in the module's order.
int add_classes(PyObject *module)
{
    Ref ns(new_namespace(
        module, "BasePacket(length): a record whose len() is its _len.",
        {&base_init_def, &base_len_def}));
    if (!ns)
        return -1;
    Ref base(add_class(module, "BasePacket", object_class(), ns.get(),
                       &base_init_function));
    if (!base)
        return -1;
    for (const RecordDefinition &definition : records_before_message) {
        if (add_record_class(module, base.get(), definition) < 0)
            return -1;
    }
    if (add_message_class(module) < 0 ||
        add_record_class(module, base.get(), footer_definition) < 0)
        return -1;
    return add_packet_class(module);
}

void init_keywords()
{
    record_keywords[0] = base_init_keywords[0] = packet_init_keywords[0] =
        str_self;
    record_keywords[1] = packet_init_keywords[2] = str_bytes;
    base_init_keywords[1] = str_length;
    packet_init_keywords[1] = str_header;
    packet_init_keywords[3] = str_callback;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "qz_packets",
    "Device frame decoding: Header for the first 9 bytes of a frame, and\n"
    "QZDWPacket for a whole frame of type \"DW\", which builds one record\n"
    "per part and hands ranging messages to the application's handler.",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

PyMODINIT_FUNC PyInit_qz_packets(void)
{
    if (capi::init_assertions() < 0 || init_names() < 0 || init_layouts() < 0)
        return nullptr;
    init_keywords();
    Ref module(PyModule_Create(&module_def));
    if (!module)
        return nullptr;
    Ref type_dw(PyUnicode_InternFromString("DW"));
    Ref type_hb(PyUnicode_InternFromString("HB"));
    if (!type_dw || !type_hb ||
        capi::add_to_module(module.get(), "TYPE_DW", std::move(type_dw)) < 0 ||
        capi::add_to_module(module.get(), "TYPE_HB", std::move(type_hb)) < 0)
        return nullptr;
    module_globals = PyModule_GetDict(module.get()); // borrowed
    Py_INCREF(module_globals); // kept for the life of the process
    if (add_classes(module.get()) < 0)
        return nullptr;
    return module.release();
}
