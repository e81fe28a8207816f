// ecmfit: importing this module runs the whole extraction.
//
// The module is initialised in two phases; its exec step binds the model
// functions and then runs the extraction. Errors keep their own Python type
// (SystemExit for the two exits, ValueError for bad data, ...) instead of
// being wrapped into an ImportError.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "python/common/bind_spline.hpp"
#include "python/ecmfit/steps.hpp"

namespace py = pybind11;

namespace ecmpy {
void run_extraction(py::module_& m);
}

namespace {

bool g_ran = false;

int ecmfit_exec(PyObject* pm) {
    try {
        auto m = py::reinterpret_borrow<py::module_>(pm);
        if (g_ran) return 0;  // the run happens once per process
        g_ran = true;
        bind_spline_class(m);
        ecmpy::bind_model_functions(m);
        ecmpy::run_extraction(m);
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

PyModuleDef ecmfit_def = {PyModuleDef_HEAD_INIT,
                          "ecmfit",
                          "Equivalent-circuit parameter extraction; importing it runs the extraction.",
                          0,
                          nullptr,
                          ecmfit_slots,
                          nullptr,
                          nullptr,
                          nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_ecmfit() {
    pybind11::detail::get_internals();
    return PyModuleDef_Init(&ecmfit_def);
}
