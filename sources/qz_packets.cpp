// Stand-in until the module lands: an empty module of this name.
#include "capi.hpp"

static PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "qz_packets", nullptr, -1,
                                 nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_qz_packets(void) { return PyModule_Create(&module_def); }
