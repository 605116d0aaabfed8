// Hooks on the runtime support: checked allocation, and a count of the heap blocks another
// extension's own code asks for.
#if defined(_WIN32)
#include "pe_imports.hpp"
#else
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "formulas/keyed_hash.hpp"
#include "hooks.hpp"
#include "pyfacade/owned.hpp"
#include "runtime/alloc.hpp"
#include "runtime/claims.hpp"
#include "runtime/platform.hpp"

namespace {

using torvane::py::Owned;

// checked_alloc(bytes) -> None: allocates and frees `bytes`; a request the heap cannot meet
// ends the process.
PyObject* checked_alloc(PyObject*, PyObject* arg) {
    const std::size_t bytes = PyLong_AsSize_t(arg);
    if (bytes == static_cast<std::size_t>(-1) && PyErr_Occurred()) return nullptr;
    torvane::checked_free(torvane::checked_alloc(bytes));
    Py_RETURN_NONE;
}

// The allocation functions an extension can import, each with a counting stand-in that calls
// the definition the extension itself would have reached (the process's first, as the dynamic
// linker binds it: a sanitizer's when one is preloaded).
std::atomic<long> g_blocks{0};

template <auto Tag, class R, class... A>
struct Counting {
    static inline R (*real)(A...) = nullptr;
    static R call(A... a) {
        g_blocks.fetch_add(1, std::memory_order_relaxed);
        return real(a...);
    }
};

struct Import {
    const char* symbol;
    void* stand_in;
    void** real;
};

template <class C>
Import import_of(const char* symbol) {
    return {symbol, reinterpret_cast<void*>(&C::call), reinterpret_cast<void**>(&C::real)};
}

// Calls `call` `times` times with the count from zero: the blocks counted, or nothing once a
// call fails (its exception pending).
std::optional<long> counted_calls(PyObject* call, long times) {
    g_blocks = 0;
    for (long i = 0; i < times; ++i) {
        Owned result(PyObject_CallNoArgs(call));
        if (!result) return std::nullopt;
    }
    return g_blocks.load();
}

#if defined(_WIN32)
// A Windows extension imports the C runtime's allocation functions from the UCRT by name, in the
// import table of its PE image; zig's libc++ is linked in, so operator new is the extension's own
// code and reaches malloc through that table too.
const Import kImports[] = {
    import_of<Counting<0, void*, std::size_t>>("malloc"),
    import_of<Counting<1, void*, std::size_t, std::size_t>>("calloc"),
    import_of<Counting<2, void*, void*, std::size_t>>("realloc"),
    import_of<Counting<3, void*, std::size_t, std::size_t>>("_aligned_malloc"),
    import_of<Counting<4, void*, void*, std::size_t, std::size_t>>("_recalloc"),
};

struct Slot {
    void** at;
    std::size_t import;  // index into kImports
    void* bound;         // what the slot held before: the function the extension reaches
};

// The slots of the import address table of the image at `base` that hold allocation functions.
std::vector<Slot> find_slots(unsigned char* base) {
    std::vector<Slot> slots;
    torvane::pe::for_each_import(base, [&](const char* name, void** at) {
        for (std::size_t i = 0; i < std::size(kImports); ++i) {
            if (std::strcmp(name, kImports[i].symbol) == 0) slots.push_back({at, i, nullptr});
        }
    });
    return slots;
}

// native_allocations(path, call, times) -> (heap blocks, slots): as on ELF systems, through the
// extension's import address table.
PyObject* native_allocations(PyObject*, PyObject* args) {
    PyObject* path_object = nullptr;
    PyObject* call = nullptr;
    long times = 0;
    if (!PyArg_ParseTuple(args, "UOl", &path_object, &call, &times)) return nullptr;
    wchar_t* path = PyUnicode_AsWideCharString(path_object, nullptr);
    if (path == nullptr) return nullptr;
    HMODULE module = GetModuleHandleW(path);
    PyMem_Free(path);
    if (module == nullptr) return PyErr_Format(PyExc_LookupError, "that extension is not loaded");
    std::vector<Slot> slots = find_slots(reinterpret_cast<unsigned char*>(module));
    for (Slot& s : slots) {
        s.bound = *s.at;
        *kImports[s.import].real = s.bound;
        torvane::pe::write_slot(s.at, kImports[s.import].stand_in);
    }
    const std::optional<long> blocks = counted_calls(call, times);
    for (const Slot& s : slots) torvane::pe::write_slot(s.at, s.bound);
    if (!blocks) return nullptr;
    return Py_BuildValue("(ln)", *blocks, static_cast<Py_ssize_t>(slots.size()));
}
#else
// The operators' names carry std::size_t's mangling: unsigned long (m) on 64-bit targets,
// unsigned int (j) on 32-bit ones.
constexpr bool kLongSize = std::is_same_v<std::size_t, unsigned long>;

const Import kImports[] = {
    import_of<Counting<0, void*, std::size_t>>("malloc"),
    import_of<Counting<1, void*, std::size_t, std::size_t>>("calloc"),
    import_of<Counting<2, void*, void*, std::size_t>>("realloc"),
    import_of<Counting<3, void*, std::size_t, std::size_t>>("aligned_alloc"),
    import_of<Counting<4, int, void**, std::size_t, std::size_t>>("posix_memalign"),
    import_of<Counting<5, void*, std::size_t>>(kLongSize ? "_Znwm" : "_Znwj"),  // operator new
    import_of<Counting<6, void*, std::size_t>>(kLongSize ? "_Znam" : "_Znaj"),  // operator new[]
    import_of<Counting<7, void*, std::size_t, std::align_val_t>>(
        kLongSize ? "_ZnwmSt11align_val_t" : "_ZnwjSt11align_val_t"),
    import_of<Counting<8, void*, std::size_t, std::align_val_t>>(
        kLongSize ? "_ZnamSt11align_val_t" : "_ZnajSt11align_val_t"),
    import_of<Counting<9, void*, std::size_t>>("__cxa_allocate_exception"),
};

// The relocations that fill a slot of the global offset table with a function's address, on
// the architectures whose numbers are known here; elsewhere the count is not offered.
#if defined(__x86_64__)
constexpr unsigned kJumpSlot = R_X86_64_JUMP_SLOT, kGlobDat = R_X86_64_GLOB_DAT;
#elif defined(__aarch64__)
constexpr unsigned kJumpSlot = R_AARCH64_JUMP_SLOT, kGlobDat = R_AARCH64_GLOB_DAT;
#elif defined(__i386__)
constexpr unsigned kJumpSlot = R_386_JMP_SLOT, kGlobDat = R_386_GLOB_DAT;
#elif defined(__arm__)
constexpr unsigned kJumpSlot = R_ARM_JUMP_SLOT, kGlobDat = R_ARM_GLOB_DAT;
#elif defined(__powerpc64__)
constexpr unsigned kJumpSlot = R_PPC64_JMP_SLOT, kGlobDat = R_PPC64_GLOB_DAT;
#elif defined(__s390x__)
constexpr unsigned kJumpSlot = R_390_JMP_SLOT, kGlobDat = R_390_GLOB_DAT;
#elif defined(__riscv) && __riscv_xlen == 64
// riscv64 has no relocation of its own for a data slot: the offset table's entries are plain
// R_RISCV_64 addresses of their symbol.
constexpr unsigned kJumpSlot = R_RISCV_JUMP_SLOT, kGlobDat = R_RISCV_64;
#else
#define TORVANE_NO_SLOT_RELOCATIONS
constexpr unsigned kJumpSlot = ~0u, kGlobDat = ~0u;
#endif

// One slot of the extension's global offset table that holds an allocation function.
struct Slot {
    void** at;
    std::size_t import;  // index into kImports
    void* bound;         // what the slot held before
};

struct Found {
    const char* path;
    std::vector<Slot>* slots;
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>>* read_only;  // RELRO page ranges
    bool seen = false;
};

// Finds the loaded object at `path` and the slots its relocations bind to allocation functions.
int find_slots(dl_phdr_info* info, std::size_t, void* data) {
    auto& found = *static_cast<Found*>(data);
    char* real = info->dlpi_name[0] != '\0' ? ::realpath(info->dlpi_name, nullptr) : nullptr;
    const bool match = real != nullptr && std::strcmp(real, found.path) == 0;
    std::free(real);
    if (!match) return 0;
    found.seen = true;
    const ElfW(Addr) base = info->dlpi_addr;
    // The dynamic linker has already relocated most of these addresses in place; not all do.
    auto address = [base](ElfW(Addr) a) { return a < base ? a + base : a; };
    const ElfW(Dyn)* dynamic = nullptr;
    const long page = ::sysconf(_SC_PAGESIZE);
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) & ph = info->dlpi_phdr[i];
        if (ph.p_type == PT_DYNAMIC)
            dynamic = reinterpret_cast<const ElfW(Dyn)*>(base + ph.p_vaddr);
        if (ph.p_type == PT_GNU_RELRO) {
            const std::uintptr_t start =
                (base + ph.p_vaddr) & ~static_cast<std::uintptr_t>(page - 1);
            found.read_only->emplace_back(start, base + ph.p_vaddr + ph.p_memsz);
        }
    }
    if (dynamic == nullptr) return 1;
    const ElfW(Sym)* symbols = nullptr;
    const char* names = nullptr;
    // The tables of relocations with addends (RELA: 64-bit targets) and without (REL: 32-bit
    // x86 and ARM), and the one of the procedure linkage table, of either kind (DT_PLTREL).
    struct Table {
        ElfW(Addr) at = 0;
        std::size_t bytes = 0;
        bool with_addends = true;
    } rela, rel{0, 0, false}, plt;
    for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
            case DT_SYMTAB:
                symbols = reinterpret_cast<const ElfW(Sym)*>(address(d->d_un.d_ptr));
                break;
            case DT_STRTAB: names = reinterpret_cast<const char*>(address(d->d_un.d_ptr)); break;
            case DT_JMPREL: plt.at = address(d->d_un.d_ptr); break;
            case DT_PLTRELSZ: plt.bytes = d->d_un.d_val; break;
            case DT_PLTREL: plt.with_addends = d->d_un.d_val == DT_RELA; break;
            case DT_RELA: rela.at = address(d->d_un.d_ptr); break;
            case DT_RELASZ: rela.bytes = d->d_un.d_val; break;
            case DT_REL: rel.at = address(d->d_un.d_ptr); break;
            case DT_RELSZ: rel.bytes = d->d_un.d_val; break;
            default: break;
        }
    }
    if (symbols == nullptr || names == nullptr) return 1;
    auto take = [&](const auto* relocations, std::size_t count) {
        for (std::size_t k = 0; k < count; ++k) {
            const auto& r = relocations[k];
#if __ELF_NATIVE_CLASS == 64
            const auto type = ELF64_R_TYPE(r.r_info);
            const auto symbol = ELF64_R_SYM(r.r_info);
#else
            const auto type = ELF32_R_TYPE(r.r_info);
            const auto symbol = ELF32_R_SYM(r.r_info);
#endif
            if (type != kJumpSlot && type != kGlobDat) continue;
            const char* name = names + symbols[symbol].st_name;
            for (std::size_t i = 0; i < std::size(kImports); ++i) {
                auto** at = reinterpret_cast<void**>(base + r.r_offset);
                // The tables may overlap: each slot once.
                if (std::strcmp(name, kImports[i].symbol) == 0 &&
                    std::ranges::find(*found.slots, at, &Slot::at) == found.slots->end()) {
                    found.slots->push_back({at, i, nullptr});
                }
            }
        }
    };
    for (const Table& t : {rela, rel, plt}) {
        if (t.at == 0) continue;
        if (t.with_addends) {
            take(reinterpret_cast<const ElfW(Rela)*>(t.at), t.bytes / sizeof(ElfW(Rela)));
        } else {
            take(reinterpret_cast<const ElfW(Rel)*>(t.at), t.bytes / sizeof(ElfW(Rel)));
        }
    }
    return 1;
}

// Writes `value` into a slot that may lie in a page the linker made read-only.
void write_slot(void** at, void* value,
                const std::vector<std::pair<std::uintptr_t, std::uintptr_t>>& read_only) {
    const long page = ::sysconf(_SC_PAGESIZE);
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(at) &
                                          ~static_cast<std::uintptr_t>(page - 1));
    bool relro = false;
    for (const auto& [lo, hi] : read_only) {
        const auto a = reinterpret_cast<std::uintptr_t>(at);
        relro = relro || (a >= lo && a < hi);
    }
    if (relro) ::mprotect(start, static_cast<std::size_t>(page), PROT_READ | PROT_WRITE);
    *at = value;
    if (relro) ::mprotect(start, static_cast<std::size_t>(page), PROT_READ);
}

// native_allocations(path, call, times) -> (heap blocks, slots): calls call() `times` times
// while every allocation function the extension at `path` imports counts each block asked for
// from the extension's own code (the interpreter's allocations are not seen), and gives that
// count with the number of slots it watched.
PyObject* native_allocations(PyObject*, PyObject* args) {
    PyObject* path_object = nullptr;
    PyObject* call = nullptr;
    long times = 0;
    if (!PyArg_ParseTuple(args, "O&Ol", PyUnicode_FSConverter, &path_object, &call, &times))
        return nullptr;
#ifdef TORVANE_NO_SLOT_RELOCATIONS
    Py_DECREF(path_object);
    return PyErr_Format(PyExc_NotImplementedError,
                        "counting an extension's allocations is not supported on this "
                        "architecture (its relocation numbers are not known here)");
#endif
    Owned path_bytes(path_object);
    char* path = ::realpath(PyBytes_AS_STRING(path_bytes.get()), nullptr);
    if (path == nullptr) return PyErr_SetFromErrno(PyExc_OSError);
    std::vector<Slot> slots;
    std::vector<std::pair<std::uintptr_t, std::uintptr_t>> read_only;
    Found found{path, &slots, &read_only};
    ::dl_iterate_phdr(find_slots, &found);
    std::free(path);
    if (!found.seen) return PyErr_Format(PyExc_LookupError, "that extension is not loaded");
    for (Slot& s : slots) {
        const Import& import = kImports[s.import];
        *import.real = ::dlsym(RTLD_DEFAULT, import.symbol);
        if (*import.real == nullptr) return PyErr_Format(PyExc_LookupError, "no %s", import.symbol);
        s.bound = *s.at;
        write_slot(s.at, import.stand_in, read_only);
    }
    const std::optional<long> blocks = counted_calls(call, times);
    for (const Slot& s : slots) write_slot(s.at, s.bound, read_only);
    if (!blocks) return nullptr;
    return Py_BuildValue("(ln)", *blocks, static_cast<Py_ssize_t>(slots.size()));
}

#endif

// thread_label(symbol=None) -> (id, name): the calling thread as the internal-failure diagnostic
// names it; on Windows, with the system's function looked up under `symbol` instead.
PyObject* thread_label(PyObject*, PyObject* args) {
    const char* symbol = nullptr;
    if (!PyArg_ParseTuple(args, "|z", &symbol)) return nullptr;
    char name[64] = "<unnamed>";
#if defined(_WIN32)
    if (symbol != nullptr) {
        torvane::platform::thread_name_by(symbol, name, sizeof name);
        return Py_BuildValue("(ls)", torvane::platform::thread_id(), name);
    }
#else
    if (symbol != nullptr) return PyErr_Format(PyExc_NotImplementedError, "Windows only");
#endif
    torvane::platform::thread_name(name, sizeof name);
    return Py_BuildValue("(ls)", torvane::platform::thread_id(), name);
}

// set_nomemory(start, stop) -> None: of the interpreter's allocations from now on, counted over
// its three domains, the (start + 1)-th to the stop-th fail; remove_mem_hooks() -> None ends it.
// What _testcapi's functions of those names do, for interpreters without it (python.org's
// Windows builds).
constexpr PyMemAllocatorDomain kDomains[] = {PYMEM_DOMAIN_RAW, PYMEM_DOMAIN_MEM, PYMEM_DOMAIN_OBJ};
PyMemAllocatorEx g_original[3];
std::atomic<long> g_allocations{0};
long g_fail_from = 0;
long g_fail_to = 0;
bool g_failing = false;

bool fails() noexcept {
    const long n = g_allocations.fetch_add(1, std::memory_order_relaxed);
    return n >= g_fail_from && n < g_fail_to;
}
void* fail_malloc(void* ctx, size_t size) noexcept {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return fails() ? nullptr : a->malloc(a->ctx, size);
}
void* fail_calloc(void* ctx, size_t n, size_t size) noexcept {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return fails() ? nullptr : a->calloc(a->ctx, n, size);
}
void* fail_realloc(void* ctx, void* p, size_t size) noexcept {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    return fails() ? nullptr : a->realloc(a->ctx, p, size);
}
void fail_free(void* ctx, void* p) noexcept {
    auto* a = static_cast<PyMemAllocatorEx*>(ctx);
    a->free(a->ctx, p);
}

PyObject* remove_mem_hooks(PyObject*, PyObject*) {
    if (g_failing) {
        for (int d = 0; d < 3; ++d) PyMem_SetAllocator(kDomains[d], &g_original[d]);
        g_failing = false;
    }
    Py_RETURN_NONE;
}

void fail_allocations(long from, long to) {
    g_fail_from = from;
    g_fail_to = to;
    g_allocations = 0;
    for (int d = 0; d < 3; ++d) {
        PyMem_GetAllocator(kDomains[d], &g_original[d]);
        PyMemAllocatorEx failing{&g_original[d], fail_malloc, fail_calloc, fail_realloc, fail_free};
        PyMem_SetAllocator(kDomains[d], &failing);
    }
    g_failing = true;
}

PyObject* set_nomemory(PyObject* self, PyObject* args) {
    long from = 0;
    long to = 0;
    if (!PyArg_ParseTuple(args, "ll", &from, &to)) return nullptr;
    Py_DECREF(remove_mem_hooks(self, nullptr));
    fail_allocations(from, to);
    Py_RETURN_NONE;
}

// nomemory_window(start, stop, n) -> [bool]: with set_nomemory(start, stop)'s hooks, asks for n
// blocks in turn, from the three domains in turn, and says which were refused; nothing else
// allocates in between.
PyObject* nomemory_window(PyObject* self, PyObject* args) {
    long from = 0;
    long to = 0;
    int n = 0;
    if (!PyArg_ParseTuple(args, "lli", &from, &to, &n)) return nullptr;
    std::vector<char> refused(static_cast<std::size_t>(std::max(n, 0)));
    Py_DECREF(remove_mem_hooks(self, nullptr));
    fail_allocations(from, to);
    for (std::size_t i = 0; i < refused.size(); ++i) {
        void* p = nullptr;
        switch (i % 3) {
            case 0:
                p = PyMem_RawMalloc(8);
                PyMem_RawFree(p);
                break;
            case 1:
                p = PyMem_Malloc(8);
                PyMem_Free(p);
                break;
            default:
                p = PyObject_Malloc(8);
                PyObject_Free(p);
                break;
        }
        refused[i] = p == nullptr;
    }
    Py_DECREF(remove_mem_hooks(self, nullptr));
    Owned out(PyList_New(0));
    for (std::size_t i = 0; out && i < refused.size(); ++i) {
        if (PyList_Append(out.get(), refused[i] ? Py_True : Py_False) < 0) return nullptr;
    }
    return out.release();
}

[[gnu::noinline]] PyObject* stack_probe() {
    const torvane::platform::StackBounds b = torvane::platform::stack_bounds();
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    const bool full = torvane::platform::stack_nearly_full();
    return Py_BuildValue("(nnO)", static_cast<Py_ssize_t>(here - b.low),
                         static_cast<Py_ssize_t>(b.high - b.low), full ? Py_True : Py_False);
}

// The bytes asked for, or -1 with an exception set.
Py_ssize_t reserve_of(PyObject* arg) {
    const Py_ssize_t reserve = PyLong_AsSsize_t(arg);
    if (reserve < 0 && PyErr_Occurred() == nullptr)
        PyErr_SetString(PyExc_ValueError, "reserve < 0");
    return reserve < 0 ? -1 : reserve;
}

// stack_check(reserve) -> (room, size, nearly full): the calling thread's stack as the platform
// layer sees it from a frame `reserve` bytes below this one's: the bytes left below that frame,
// the whole stack's size, and stack_nearly_full() there.
PyObject* stack_check(PyObject*, PyObject* arg) {
    const Py_ssize_t reserve = reserve_of(arg);
    if (reserve < 0) return nullptr;
    auto* pad =
        static_cast<volatile char*>(__builtin_alloca(static_cast<std::size_t>(reserve) + 1));
    pad[0] = 0;
    PyObject* result = stack_probe();
    pad[0] = 1;  // the padding stays until the call returns: clang would make it a sibling call
    return result;
}

// call_below(reserve, call) -> call(): called `reserve` bytes of stack below this frame.
PyObject* call_below(PyObject*, PyObject* args) {
    PyObject* reserve_arg = nullptr;
    PyObject* call = nullptr;
    if (!PyArg_ParseTuple(args, "OO", &reserve_arg, &call)) return nullptr;
    const Py_ssize_t reserve = reserve_of(reserve_arg);
    if (reserve < 0) return nullptr;
    auto* pad =
        static_cast<volatile char*>(__builtin_alloca(static_cast<std::size_t>(reserve) + 1));
    pad[0] = 0;
    PyObject* result = PyObject_CallNoArgs(call);
    pad[0] = 1;  // as in stack_check: no sibling call, which would give the padding back first
    return result;
}

const char* source_name(torvane::platform::RandomSource s) {
    return s == torvane::platform::RandomSource::system ? "system" : "device";
}

// A system source that gives half of what is asked, zeros, and then fails.
std::size_t half_source(unsigned char* out, std::size_t n) noexcept {
    std::memset(out, 0, n / 2);
    return n / 2;
}

// random_fill(n, failing) -> (bytes, source): n random bytes and where they came from; with
// `failing`, the system's source gives only the first half (zeros).
PyObject* random_fill(PyObject*, PyObject* args) {
    Py_ssize_t n = 0;
    int failing = 0;
    if (!PyArg_ParseTuple(args, "np", &n, &failing)) return nullptr;
    std::string out(static_cast<std::size_t>(std::max<Py_ssize_t>(n, 0)), '\0');
    const auto source =
        torvane::platform::random_fill(reinterpret_cast<unsigned char*>(out.data()), out.size(),
                                       failing ? half_source : torvane::platform::random_bytes);
    return Py_BuildValue("(y#s)", out.data(), static_cast<Py_ssize_t>(out.size()),
                         source_name(source));
}

// hash_secret_source() -> "system" or "device": where the process secret of the maps' keys
// came from.
PyObject* hash_secret_source(PyObject*, PyObject*) {
    return PyUnicode_FromString(source_name(torvane::hash_secret_source()));
}

// leak_on_purpose() -> None: allocates a native block and drops its only pointer, for the test
// that the sanitizer build's leak check at exit sees a block the module lost.
char* volatile g_lost = nullptr;
PyObject* leak_on_purpose(PyObject*, PyObject*) {
    g_lost = new char[4000];
    g_lost = nullptr;
    Py_RETURN_NONE;
}

// claim(kind, value) -> str: the path that TV_ALWAYS(value) ("always") or TV_NEVER(value)
// ("never") lets run: "claimed", or "defended" when the claim does not hold in a release build.
PyObject* claim(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    int value = 0;
    if (!PyArg_ParseTuple(args, "sp", &kind, &value)) return nullptr;
    bool claimed = std::strcmp(kind, "never") == 0;
    if (claimed) {
        if (TV_NEVER(value != 0)) claimed = false;
    } else if (TV_ALWAYS(value != 0)) {
        claimed = true;
    }
    return PyUnicode_FromString(claimed ? "claimed" : "defended");
}

}  // namespace

PyMethodDef runtime_hooks[] = {
    {"leak_on_purpose", leak_on_purpose, METH_NOARGS, nullptr},
    {"checked_alloc", checked_alloc, METH_O, nullptr},
    {"thread_label", thread_label, METH_VARARGS, nullptr},
    {"set_nomemory", set_nomemory, METH_VARARGS, nullptr},
    {"remove_mem_hooks", remove_mem_hooks, METH_NOARGS, nullptr},
    {"nomemory_window", nomemory_window, METH_VARARGS, nullptr},
    {"stack_check", stack_check, METH_O, nullptr},
    {"call_below", call_below, METH_VARARGS, nullptr},
    {"random_fill", random_fill, METH_VARARGS, nullptr},
    {"hash_secret_source", hash_secret_source, METH_NOARGS, nullptr},
    {"native_allocations", native_allocations, METH_VARARGS, nullptr},
    {"claim", claim, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};
