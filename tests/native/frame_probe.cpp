// A test-only module on the frame, for what the shipped modules cannot show: class creation
// with several bases.  Built by the tests; never installed.
#include "module_frame/frame.hpp"
#include "module_frame/ops.hpp"

namespace {

using namespace frame;

Constant k_probe_bases("probe_bases");
Constant k_first("First");
Constant k_second("Second");
Constant k_single("Single");
Constant k_double("Double");
Global g_first("First");
Global g_second("Second");

Ref init(PyObject*) { return Ref::borrow(Py_None); }
Ref method(PyObject* const*) { return Ref::steal(PyUnicode_FromString("Single")); }

const FunctionDef init_def("__init__", "Single.__init__", nullptr, {"self"}, init,
                           Naming::Qualified);
const FunctionDef method_def("method", "Single.method", nullptr, {"self"}, Defaults::None, {},
                             method);

bool body() {
    return import_names(k_probe_bases, {k_first, k_second}, 0) &&
           create_class(k_single, {&g_first}, {&init_def, &method_def}) &&
           create_class(k_double, {&g_first, &g_second}, {});
}

const ModuleDef probe{"frame_probe", "frame_probe", "Probe of the module frame",
                      "tests/native/frame_probe.cpp", body};

}  // namespace

PyMODINIT_FUNC PyInit_frame_probe() { return frame::initialise(probe); }
