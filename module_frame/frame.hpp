// The module frame: what every native module of tavimo is built on.
//
// A module body (tavimo/brasco/brasco.cpp, tavimo/questions/questions.cpp) describes its
// module with a ModuleDef, declares its constants, module-level names, cached builtins and
// functions as namespace-scope objects of the classes below, and exports nothing but
//
//     PyMODINIT_FUNC PyInit_<name>() { return frame::initialise(module_def); }
//
// The frame is compiled once into a static library that each module links in, so each
// module has its own copy of the process-wide state kept here (module object, interpreter
// id, constants, cached builtins).
//
// Failures: every operation that can fail returns an empty Ref (or false, or -1) with the
// interpreter's error set, and records the source file and line of its caller.  The
// function that was running adds one traceback entry for that line when the failure leaves
// it.
#pragma once

#include "module_frame/compiler.hpp"
#include "module_frame/dict_states.hpp"
#include "module_frame/ref.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace frame {

using Where = std::source_location;

// ---------------------------------------------------------------------------------------
// The module

struct ModuleDef {
    const char* short_name;  // "brasco"
    const char* full_name;   // "tavimo.brasco": messages, qualified names, __module__
    const char* doc;
    // The body's source, as code records and traceback entries name it; a failure in
    // another source of the module is named by that file's name in the same folder.
    const char* source_path;
    // Runs the module body against the module's namespace; false with an error set on
    // failure.
    bool (*body)();
};

// Returns the module definition prepared for multi-phase initialisation.
PyObject* initialise(const ModuleDef& def) noexcept;

const ModuleDef& module_def() noexcept;
// The namespace of the module being executed or already loaded (borrowed).
PyObject* module_dict() noexcept;

// ---------------------------------------------------------------------------------------
// Failure bookkeeping

// Records the place of a failing statement for the traceback entry of the running function.
void note_failure(Where where) noexcept;
// Appends a traceback entry "<name>" at the given line of the module's source `file` (as
// the compiler named it; null: the body's source) to the exception being raised.  The
// only place where traceback entries are made.
void add_traceback(const char* function_name, const char* file, int line) noexcept;

// ---------------------------------------------------------------------------------------
// Constants, created once when the module is executed (names interned and hashed)

class Constant {
public:
    explicit Constant(const char* text) noexcept;
    explicit Constant(PyObject* (*make)()) noexcept;
    Constant(const Constant&) = delete;
    Constant& operator=(const Constant&) = delete;

    PyObject* get() const noexcept { return object_; }
    operator PyObject*() const noexcept { return object_; }

    // Creates every constant not created yet; false with an error set on failure.
    static bool create_all() noexcept;

private:
    template <class T>
    friend void append_to(T*& first, T* item) noexcept;
    bool create() noexcept;
    const char* text_ = nullptr;
    PyObject* (*make_)() = nullptr;
    PyObject* object_ = nullptr;
    Constant* next_ = nullptr;
};

// ---------------------------------------------------------------------------------------
// Module-level names, read at each use: the module namespace, then the builtins module,
// else NameError.  The last value found is reused while neither namespace has changed
// since before the lookup that found it (a lookup can run code that changes them: a key's
// __eq__).  The cache does not own the value: while the namespaces are unchanged, the one
// it came from still holds it, and once they changed it is never looked at again; a value
// rebound or deleted goes as soon as its namespace lets it go.

//
// On a free-threaded host each thread keeps its own last value of each name (a slot of a
// small per-thread table, so that threads share no cache line but the watched epoch), and
// only values that may be kept borrowed there (host::may_keep_borrowed: immortal, or freed
// only by the collector); any other value is looked up at every use.

// The slot of the next name or attribute declared, in the per-thread tables of a free-threaded
// host (names.cpp); given while the module is loaded, before any thread can call in.
std::size_t next_per_thread_slot(bool attribute) noexcept;

class Global {
public:
    explicit Global(const char* name) noexcept : name_(name) {
#if FRAME_FREE_THREADED
        slot_ = next_per_thread_slot(false);
#endif
    }
    Ref get(Where where = Where::current()) noexcept;
    // What get() would give, where it is given from the cache, without a lookup (and so
    // without running any code); null otherwise.
    PyObject* cached() noexcept;

private:
    Constant name_;
#if FRAME_FREE_THREADED
    std::size_t slot_;  // of this name in each thread's table
#else
    PyObject* found_ = nullptr;  // borrowed from the namespaces below, while they hold
    DictStates<2> namespaces_;   // the module's and the builtins', taken before the lookup
#endif
};

// An attribute of a module object, read as getattr(module, name) would read it.  The value
// found in a plain module's namespace is reused while that namespace is unchanged since
// before the read that found it; like Global, the cache does not own it.
class ModuleAttribute {
public:
    explicit ModuleAttribute(const char* name) noexcept : name_(name) {
#if FRAME_FREE_THREADED
        slot_ = next_per_thread_slot(true);
#endif
    }
    Ref get(PyObject* module, Where where = Where::current()) noexcept;

private:
    Constant name_;
#if FRAME_FREE_THREADED
    std::size_t slot_;  // of this attribute in each thread's table
#else
    PyObject* module_ = nullptr;  // identity only
    DictStates<1> namespace_;
    PyObject* found_ = nullptr;  // borrowed from the module's namespace, while it holds
#endif
};

// The version tag of an exact dict, version_tag(dict), is declared in dict_states.hpp: it
// changes whenever the dict is changed, and no two states of any dicts share one.

// Raises NameError "name '%U' is not defined".
void raise_name_error(PyObject* name) noexcept;

// A builtin fetched once, when the module is executed; later rebinding does not matter.
class CachedBuiltin {
public:
    explicit CachedBuiltin(const char* name) noexcept;
    CachedBuiltin(const CachedBuiltin&) = delete;
    CachedBuiltin& operator=(const CachedBuiltin&) = delete;
    PyObject* get() const noexcept { return value_.get(); }

    // Fetches every cached builtin in declaration order.
    static bool fetch_all() noexcept;

private:
    template <class T>
    friend void append_to(T*& first, T* item) noexcept;
    Constant name_;
    ProcessRef value_;
    CachedBuiltin* next_ = nullptr;
};

// dict[key] of an exact dict, borrowed; null, without an error, when the key is missing or
// the lookup fails.  For fast paths checking their conditions: a failed check only means
// taking the host's way, which meets any such error again in its place.
PyObject* entry_or_null(PyObject* dict, PyObject* key) noexcept;

// A C function of one of the host's own modules (an entry of that module's method table,
// bound to that module), recognised by what it is rather than by where it is bound, for
// fast paths that may stand in for it.  Nothing written in Python can be one.
class HostFunction {
public:
    constexpr HostFunction(const char* module, const char* name) noexcept
        : module_(module), name_(name) {}
    HostFunction(const HostFunction&) = delete;
    HostFunction& operator=(const HostFunction&) = delete;

    // Whether `candidate` is that function.  Once recognised, an object is known by its
    // identity (and held, so that its address is never another object's).
    bool is(PyObject* candidate) noexcept;

private:
    PyObject* known() const noexcept;
    void remember(PyObject* candidate) noexcept;

    const char* module_;
    const char* name_;
#if FRAME_FREE_THREADED
    std::atomic<PyObject*> known_{nullptr};  // set once, by the first thread to recognise it
#else
    ProcessRef known_;
#endif
};

// ---------------------------------------------------------------------------------------
// Functions

// The values bound to a fast-call function's parameters, in declared order (borrowed).
using FastBody = Ref (*)(PyObject* const* args);
// The single argument of a one-argument function (borrowed).
using OneArgBody = Ref (*)(PyObject* arg);

enum class Defaults { AllNone, None };
enum class Naming { Qualified, Lambda };

// Stops the compilation of a function definition that names more parameters or locals than a
// function holds (a call in a constant evaluation of something that cannot be evaluated so).
inline void more_names_than_a_function_holds() noexcept {}

// The parameter or local names of a function definition, as written there.  Made while the
// module is compiled: a list longer than `capacity` is a compile-time error, not a write past
// the function's tables.
class Names {
public:
    static constexpr int capacity = 4;

    constexpr Names() noexcept = default;
    consteval Names(std::initializer_list<const char*> names) noexcept {
        if (names.size() > capacity) more_names_than_a_function_holds();
        for (const char* name : names) names_[count_++] = name;
    }

    int size() const noexcept { return count_; }
    const char* operator[](int index) const noexcept { return names_[index]; }

private:
    const char* names_[capacity] = {};
    int count_ = 0;
};

class FunctionDef {
public:
    static constexpr int max_params = Names::capacity;

    // A function of the fast-call kind: positional-or-keyword parameters that either all
    // default to None or have no default.  `locals` only feed the code record.
    FunctionDef(const char* name, const char* qualname, const char* doc, Names params,
                Defaults defaults, Names locals, FastBody body,
                Where where = Where::current()) noexcept;
    // A function of the one-argument kind.  Naming::Lambda makes an anonymous filter:
    // qualified name "<lambda>", no code record, traceback entry named by the short name.
    FunctionDef(const char* name, const char* qualname, const char* doc, Names params,
                OneArgBody body, Naming naming, Where where = Where::current()) noexcept;
    FunctionDef(const FunctionDef&) = delete;
    FunctionDef& operator=(const FunctionDef&) = delete;

    const char* name() const noexcept { return name_; }

    // Creates the code records and defaults tuples of every function not prepared yet.
    static bool prepare_all() noexcept;

private:
    template <class T>
    friend void append_to(T*& first, T* item) noexcept;
    friend struct FunctionAccess;
    bool prepare() noexcept;

    const char* name_;
    const char* qualname_;
    const char* doc_;
    Names params_;
    Names locals_;
    Defaults defaults_ = Defaults::None;
    Naming naming_ = Naming::Qualified;
    FastBody fast_body_ = nullptr;
    OneArgBody one_arg_body_ = nullptr;
    int first_line_;
    // Made by prepare().
    std::string traceback_name_;
    PyObject* param_names_[max_params] = {};
    PyObject* code_ = nullptr;
    PyObject* defaults_tuple_ = nullptr;
    FunctionDef* next_ = nullptr;
};

// A new function object for `def`, with the module namespace as its globals.
Ref make_function(const FunctionDef& def, Where where = Where::current()) noexcept;

// Whether `callee` is a function object made from `def`.
bool is_function_of(PyObject* callee, const FunctionDef& def) noexcept;

// Runs `body` as a call of a function object of `def` runs its body: as the running call of
// `def`, within the host's recursion limit, with the traceback entry of `def` added when it
// fails.  For a caller in the same module that found `def`'s function where it looked for its
// callee and passes the body something a call through the object cannot carry; nothing
// observable tells the two apart (a call from native code makes no profile or monitoring
// event).  On failure the caller's own failing line is recorded at `where`.
Ref run_as_call_of(const FunctionDef& def, Ref (*body)(void*), void* context,
                   Where where = Where::current()) noexcept;
template <class Body>
Ref run_as_call_of(const FunctionDef& def, Body&& body, Where where = Where::current()) noexcept {
    return run_as_call_of(
        def,
        [](void* context) { return (*static_cast<std::remove_reference_t<Body>*>(context))(); },
        &body, where);
}

// ---------------------------------------------------------------------------------------
// Module-body statements

// Binds `value` under `name` in the module namespace.
bool bind(PyObject* name, PyObject* value, Where where = Where::current()) noexcept;
// Binds a new empty dict under `name`.
bool bind_empty_mapping(PyObject* name, Where where = Where::current()) noexcept;
// `def`: binds a new function object under its short name.
bool bind_function(const FunctionDef& def, Where where = Where::current()) noexcept;
// `import name` for a top-level module; binds it under its own name.
bool import_module(PyObject* name, Where where = Where::current()) noexcept;
// `from module import names...` at the given level (0 absolute, 1 the own package);
// binds each name before the next is fetched.
bool import_names(PyObject* module, std::initializer_list<PyObject*> names, int level,
                  Where where = Where::current()) noexcept;
// `class name(bases...)` with the given methods, in order; binds the class.
bool create_class(PyObject* name, std::initializer_list<Global*> bases,
                  std::initializer_list<const FunctionDef*> methods,
                  Where where = Where::current()) noexcept;

}  // namespace frame
