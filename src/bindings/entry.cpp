// entry.cpp: making a module from its entries.
#include "bindings/entry.hpp"

#include "bindings/messages.hpp"

namespace qh::py {

PyObject* new_module(PyModuleDef& def, std::span<PyMethodDef> table, bool list_in_all) {
    Ref module(PyModule_Create(&def));
    if (!module) return nullptr;
    Ref all;
    if (list_in_all) {
        PyObject* dict = PyModule_GetDict(module.get());  // borrowed
        if (PyObject* existing = PyDict_GetItemString(dict, "__all__")) {
            all = Ref::borrowed(existing);
        } else {
            all = Ref(PyList_New(0));
            if (!all || PyDict_SetItemString(dict, "__all__", all.get()) < 0) return nullptr;
        }
    }
    Ref module_name(PyModule_GetNameObject(module.get()));
    if (!module_name) return nullptr;
    for (PyMethodDef& row : table) {
        Ref function(PyCFunction_NewEx(&row, nullptr, module_name.get()));
        if (!function || PyModule_AddObjectRef(module.get(), row.ml_name, function.get()) < 0) return nullptr;
        if (!list_in_all) continue;
        Ref name(PyUnicode_FromString(row.ml_name));
        if (!name || PyList_Append(all.get(), name.get()) < 0) return nullptr;
    }
    return module.release();
}

bool in_main_interpreter(const char* module) {
    if (PyInterpreterState_Get() == PyInterpreterState_Main()) return true;
    PyErr_Format(PyExc_ImportError, msg::NO_SUBINTERPRETERS, module);
    return false;
}

}  // namespace qh::py
