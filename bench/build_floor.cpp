// The cost of building an i_parser result and nothing more, for the benchmark.
//
// build(record, round_trip, result, header) reads from `record` every entry that i_parser
// reads, as often as it reads it, and builds a new result of the same shape as `result` (a
// tuple of the two summaries and the two leg tables), with new texts and durations equal to
// those in `result` instead of computing them (`header`, the leg tables' header row, is
// shared).  What remains is the floor of any implementation:
// the reads, the allocations and the copies.  Built by bench/run.py; never installed.
#include <Python.h>
#include <datetime.h>

namespace {

const char* const leg_keys[] = {"cityFrom",  "flyFrom",           "cityTo",
                                "flyTo",     "local_departure",   "local_arrival",
                                "flight_no", "operating_carrier", "operating_flight_no",
                                "airline",   "operating_carrier", "return"};

// The keys as interned texts, made once (as i_parser's constants are).
PyObject* interned(const char* key) {
    static PyObject* names[32];
    static const char* texts[32];
    for (int i = 0; i < 32; ++i) {
        if (texts[i] == key) return names[i];
        if (!texts[i]) {
            texts[i] = key;
            return names[i] = PyUnicode_InternFromString(key);
        }
    }
    return nullptr;
}

// record[key], borrowed; null with KeyError set when missing.
PyObject* read(PyObject* record, const char* key) {
    PyObject* value = PyDict_GetItemWithError(record, interned(key));
    if (!value && !PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, key);
    return value;
}

// A new object equal to `model`: a copy of a text, a new duration, containers copied
// element by element; the header row, which heads every leg table, and anything else shared.
PyObject* copy(PyObject* model, PyObject* header) {
    if (model == header) {
        Py_INCREF(model);
        return model;
    }
    if (PyUnicode_CheckExact(model))
        return PyUnicode_FromKindAndData(PyUnicode_KIND(model), PyUnicode_DATA(model),
                                         PyUnicode_GET_LENGTH(model));
    if (PyDelta_CheckExact(model))
        return PyDelta_FromDSU(PyDateTime_DELTA_GET_DAYS(model),
                               PyDateTime_DELTA_GET_SECONDS(model),
                               PyDateTime_DELTA_GET_MICROSECONDS(model));
    const bool list = PyList_CheckExact(model);
    if (!list && !PyTuple_CheckExact(model)) {
        Py_INCREF(model);
        return model;
    }
    const Py_ssize_t size = Py_SIZE(model);
    PyObject* result = list ? PyList_New(size) : PyTuple_New(size);
    for (Py_ssize_t i = 0; result && i < size; ++i) {
        PyObject* made =
            copy(list ? PyList_GET_ITEM(model, i) : PyTuple_GET_ITEM(model, i), header);
        if (!made) {
            Py_CLEAR(result);
        } else if (list) {
            PyList_SET_ITEM(result, i, made);
        } else {
            PyTuple_SET_ITEM(result, i, made);
        }
    }
    return result;
}

// Reads what i_parser reads of one route plan in one route_details call.
bool read_route(PyObject* record) {
    PyObject* route = read(record, "route");
    if (!route) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(route); ++i)
        for (const char* key : leg_keys)
            if (!read(PyList_GET_ITEM(route, i), key)) return false;
    return true;
}

PyObject* build(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "build(record, round_trip, result, header)");
        return nullptr;
    }
    PyObject* record = args[0];
    const bool round_trip = PyObject_IsTrue(args[1]) == 1;
    PyObject* duration = read(record, "duration");
    PyObject* routes = read(record, "routes");
    if (!duration || !routes || !read(duration, "departure") || !read(record, "local_departure") ||
        !read(record, "local_departure") || !read(record, "local_arrival") ||
        !read(record, "local_arrival") || !read(record, "conversion") || !read_route(record))
        return nullptr;
    if (round_trip) {
        PyObject* route = read(record, "route");
        if (!route || !read(duration, "return") || !read_route(record)) return nullptr;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(route); ++i)
            if (!read(PyList_GET_ITEM(route, i), "return")) return nullptr;
    }
    return copy(args[2], args[3]);
}

PyMethodDef methods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(build)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "build_floor", nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_build_floor() {
    PyDateTime_IMPORT;
    if (!PyDateTimeAPI) return nullptr;
    return PyModule_Create(&module_def);
}
