// Core-level figures, measured below the facade: the cost of a registry build by shard count,
// and the heap blocks that a build, a quark registry and a datasheet text ask for.
#include <bit>
#include <cstddef>
#include <cstdio>
#include <string_view>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <psapi.h>
#else
#include <unistd.h>
#endif

#include "benchfloors.hpp"
#include "datasheet/datasheet.hpp"
#include "formulas/formulas_registry.hpp"
#include "quarks/quark_registry.hpp"
#include "runtime/alloc.hpp"

namespace torvane::bench {
namespace {

// Written through, so that no build or allocation below can be optimised away.
volatile std::size_t g_sink = 0;

template <class F>
std::size_t mallocs_during(F&& f) {
    const std::size_t before = mallocs_so_far();
    f();
    return mallocs_so_far() - before;
}

// A shard count the registry accepts: a power of two greater than 1. -1 with ValueError else.
Py_ssize_t shard_argument(PyObject* value) noexcept {
    const Py_ssize_t shards = PyLong_AsSsize_t(value);
    if (shards == -1 && PyErr_Occurred() != nullptr) return -1;
    if (shards < 2 || !std::has_single_bit(static_cast<std::size_t>(shards))) {
        PyErr_SetString(PyExc_ValueError, "shards must be a power of two greater than 1");
        return -1;
    }
    return shards;
}

// The (shards, count) pair of the registry benchmarks: false with an exception set when the call
// has not two arguments, shards is not a count the registry accepts or count is not an int.
bool shards_and_count(PyObject* const* args, Py_ssize_t nargs, const char* usage,
                      Py_ssize_t& shards, Py_ssize_t& count) noexcept {
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, usage);
        return false;
    }
    shards = shard_argument(args[0]);
    if (shards < 0) return false;
    count = PyLong_AsSsize_t(args[1]);
    return !(count == -1 && PyErr_Occurred() != nullptr);
}

// build_registries(shards, count): builds and destroys `count` registries of the built-in
// constants over `shards` shards; returns the sum of their lengths.
PyObject* build_registries(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    Py_ssize_t shards = 0;
    Py_ssize_t count = 0;
    if (!shards_and_count(args, nargs, "build_registries(shards, count)", shards, count))
        return nullptr;
    std::size_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const FormulasRegistry r = FormulasRegistry::create(static_cast<std::size_t>(shards));
        total += r.len();
    }
    return PyLong_FromSize_t(total);
}

PyObject* count_allocations_of_registry_build(PyObject*, PyObject* arg) noexcept {
    const Py_ssize_t shards = shard_argument(arg);
    if (shards < 0) return nullptr;
    return PyLong_FromSize_t(mallocs_during([&] {
        const FormulasRegistry r = FormulasRegistry::create(static_cast<std::size_t>(shards));
        g_sink = r.len();
    }));
}

PyObject* count_allocations_of_quark_registry(PyObject*, PyObject*) noexcept {
    return PyLong_FromSize_t(mallocs_during([] {
        const QuarkRegistry r = QuarkRegistry::standard_model();
        g_sink = r.len();
    }));
}

// (look-up, datasheet text, direct text): the blocks that copying the record of `name` out of a
// registry takes, then those that encoding its datasheet takes, then those that the path of
// py_get_constant takes (datasheet_text). The registry is built beforehand.
PyObject* count_allocations_of_datasheet(PyObject*, PyObject* arg) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
    if (utf8 == nullptr) return nullptr;
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    const FormulasRegistry registry = FormulasRegistry::create();
    std::size_t text_blocks = 0;
    bool found = false;
    const std::size_t lookup_blocks = mallocs_during([&] {
        auto record = registry.lookup(name);
        if (!record) return;
        found = true;
        text_blocks = mallocs_during([&] { g_sink = datasheet_json(*record).size(); });
    });
    if (!found) {
        PyErr_SetObject(PyExc_KeyError, arg);
        return nullptr;
    }
    const std::size_t direct_blocks = mallocs_during([&] {
        auto sheet = datasheet_text(registry, name);
        g_sink = sheet ? sheet->view().size() : 0;
    });
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(lookup_blocks - text_blocks),
                         static_cast<Py_ssize_t>(text_blocks),
                         static_cast<Py_ssize_t>(direct_blocks));
}

// Resident bytes of the process: the resident size of /proc/self/statm, or on Windows the
// working set; 0 if it cannot be read.
std::size_t resident_bytes() noexcept {
#if defined(_WIN32)
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    return K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)
               ? counters.WorkingSetSize
               : 0;
#else
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long size = 0;
    unsigned long resident = 0;
    const int read = std::fscanf(f, "%lu %lu", &size, &resident);
    std::fclose(f);
    return read == 2 ? resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) : 0;
#endif
}

PyObject* resident_bytes_now(PyObject*, PyObject*) noexcept {
    return PyLong_FromSize_t(resident_bytes());
}

// resident_bytes_of_registries(shards, count): how much the resident size grows, per registry,
// while `count` registries over `shards` shards are alive, each held in an array slot of
// sizeof(FormulasRegistry) bytes, as a PyFormulasRegistry instance holds its own.
PyObject* resident_bytes_of_registries(PyObject*, PyObject* const* args,
                                       Py_ssize_t nargs) noexcept {
    Py_ssize_t shards = 0;
    Py_ssize_t count = 0;
    if (!shards_and_count(args, nargs, "resident_bytes_of_registries(shards, count)", shards,
                          count))
        return nullptr;
    if (count <= 0) {
        PyErr_SetString(PyExc_ValueError, "count must be positive");
        return nullptr;
    }
    const std::size_t before = resident_bytes();
    Vec<FormulasRegistry> held;
    held.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        held.push_back(FormulasRegistry::create(static_cast<std::size_t>(shards)));
    }
    const std::size_t after = resident_bytes();
    return PyFloat_FromDouble(static_cast<double>(after - before) / static_cast<double>(count));
}

void* volatile g_block = nullptr;

// Blocks whose count is known, to show the counter sees the core's allocations and nothing
// else: (3 checked_alloc calls, one long Text, one short Text kept inline, one plain new, one
// block the interpreter allocates).
PyObject* count_allocations_self_test(PyObject*, PyObject*) noexcept {
    const std::size_t three = mallocs_during([] {
        for (int i = 0; i < 3; ++i) {
            g_block = checked_alloc(16);
            checked_free(g_block);
        }
    });
    const std::size_t long_text = mallocs_during([] { g_sink = Text(100, 'x').size(); });
    const std::size_t short_text = mallocs_during([] { g_sink = Text(5, 'x').size(); });
    const std::size_t plain_new = mallocs_during([] {
        g_block = new int(1);
        delete static_cast<int*>(g_block);
    });
    const std::size_t interpreter = mallocs_during([] {
        g_block = PyMem_RawMalloc(1 << 16);
        PyMem_RawFree(g_block);
    });
    return Py_BuildValue("(nnnnn)", static_cast<Py_ssize_t>(three),
                         static_cast<Py_ssize_t>(long_text), static_cast<Py_ssize_t>(short_text),
                         static_cast<Py_ssize_t>(plain_new), static_cast<Py_ssize_t>(interpreter));
}

template <class F>
PyCFunction as_method(F* f) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

PyMethodDef core_cost_functions[] = {
    {"build_registries", as_method(build_registries), METH_FASTCALL,
     "build_registries(shards, count)\n--\n\n"
     "Builds and destroys `count` registries over `shards` shards; the sum of their lengths."},
    {"count_allocations_of_registry_build", as_method(count_allocations_of_registry_build), METH_O,
     "count_allocations_of_registry_build(shards)\n--\n\n"
     "Heap blocks one build and destruction of a registry over `shards` shards asks for."},
    {"count_allocations_of_quark_registry", as_method(count_allocations_of_quark_registry),
     METH_NOARGS,
     "count_allocations_of_quark_registry()\n--\n\n"
     "Heap blocks one build and destruction of the six-quark registry asks for."},
    {"count_allocations_of_datasheet", as_method(count_allocations_of_datasheet), METH_O,
     "count_allocations_of_datasheet(name)\n--\n\n"
     "Heap blocks of (the look-up of `name`, the encoding of its datasheet text, "
     "datasheet_text)."},
    {"resident_bytes_of_registries", as_method(resident_bytes_of_registries), METH_FASTCALL,
     "resident_bytes_of_registries(shards, count)\n--\n\n"
     "Resident-size growth per registry while `count` registries over `shards` shards live."},
    {"resident_bytes", as_method(resident_bytes_now), METH_NOARGS,
     "resident_bytes()\n--\n\n"
     "The process's resident size in bytes now (on Windows its working set); 0 if unknown."},
    {"count_allocations_self_test", as_method(count_allocations_self_test), METH_NOARGS,
     "count_allocations_self_test()\n--\n\n"
     "Counts of known allocations: expect (3, 1, 0, 1, 0)."},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};

}  // namespace

int add_core_costs(PyObject* module) noexcept {
    count_mallocs();
    return PyModule_AddFunctions(module, core_cost_functions);
}

}  // namespace torvane::bench
