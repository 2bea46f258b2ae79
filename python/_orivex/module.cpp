// The _orivex extension module: function table and module initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* version(PyObject*, PyObject*) { return PyUnicode_FromString("1.1.6"); }
PyObject* build_features(PyObject*, PyObject*) { return PyList_New(0); }

PyMethodDef methods[] = {
    {"version", version, METH_NOARGS, "version()\n--\n\n"},
    {"build_features", build_features, METH_NOARGS, "build_features()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "_orivex", "", -1, methods,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__orivex() { return PyModule_Create(&module_def); }
