// Hooks on the constants registry: records, insertion, copies, the shard rule and the errors.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <thread>
#include <utility>
#include <vector>

#include "datasheet/datasheet.hpp"
#include "formulas/formulas_registry.hpp"
#include "hooks.hpp"
#include "pyfacade/owned.hpp"
#include "runtime/byte_order.hpp"

namespace torvane {

// What the lock tests need to see of the lock word, and a way out of a lost wake-up.
struct RwLockProbe {
    static bool writer_bit(const RwLock& lock) noexcept {
        return (lock.state_.load(std::memory_order_relaxed) & RwLock::kWriter) != 0;
    }
    static void wake(RwLock& lock) noexcept { lock.state_.notify_all(); }
};

// The hash key a registry keeps to itself, for the tests that work out where it put each name.
// An explicit instantiation may name a private member, and the friend it defines hands the
// pointer to that member out.
namespace registry_key {
using Member = HashKey FormulasRegistry::*;
struct Tag { friend Member member(Tag); };
template <Member M>
struct Expose {
    friend Member member(Tag) { return M; }
};
template struct Expose<&FormulasRegistry::key_>;
}  // namespace registry_key

}  // namespace torvane

namespace {

using torvane::ConstantRecord;
using torvane::ConstantStatus;
using torvane::FormulasRegistry;
using torvane::Text;
using torvane::py::Owned;

PyObject* str_of(std::string_view s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// A record as a dict with every field.
PyObject* record_dict(const ConstantRecord& r) {
    Owned deps(PyList_New(0));
    if (!deps) return nullptr;
    for (const Text& d : r.depends_on) {
        Owned s(str_of(d));
        if (!s || PyList_Append(deps.get(), s.get()) < 0) return nullptr;
    }
    Owned uncertainty(r.uncertainty ? PyFloat_FromDouble(*r.uncertainty) : Py_NewRef(Py_None));
    Owned expression(r.expression ? str_of(*r.expression) : Py_NewRef(Py_None));
    if (!uncertainty || !expression) return nullptr;
    return Py_BuildValue("{s:N,s:d,s:N,s:O,s:i,s:O,s:O}", "name", str_of(r.name), "value", r.value,
                         "units", str_of(r.units), "uncertainty", uncertainty.get(), "status",
                         static_cast<int>(r.status), "expression", expression.get(), "depends_on",
                         deps.get());
}

std::optional<Text> text_item(PyObject* dict, const char* key) {
    PyObject* v = PyDict_GetItemString(dict, key);  // borrowed
    if (v == nullptr || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "record field '%s' must be str", key);
        return std::nullopt;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(v, &n);
    if (s == nullptr) return std::nullopt;
    return Text(s, static_cast<std::size_t>(n));
}

// A record from a dict shaped like record_dict's.
std::optional<ConstantRecord> record_from(PyObject* dict) {
    if (!PyDict_Check(dict)) {
        PyErr_SetString(PyExc_TypeError, "record must be a dict");
        return std::nullopt;
    }
    ConstantRecord r;
    auto name = text_item(dict, "name");
    auto units = text_item(dict, "units");
    if (!name || !units) return std::nullopt;
    r.name = *name;
    r.units = *units;
    PyObject* value = PyDict_GetItemString(dict, "value");
    PyObject* status = PyDict_GetItemString(dict, "status");
    if (value == nullptr || status == nullptr) {
        PyErr_SetString(PyExc_TypeError, "record needs 'value' and 'status'");
        return std::nullopt;
    }
    r.value = PyFloat_AsDouble(value);
    const long s = PyLong_AsLong(status);
    if (PyErr_Occurred()) return std::nullopt;
    r.status = static_cast<ConstantStatus>(s & 3);
    PyObject* uncertainty = PyDict_GetItemString(dict, "uncertainty");
    if (uncertainty != nullptr && uncertainty != Py_None) {
        r.uncertainty = PyFloat_AsDouble(uncertainty);
        if (PyErr_Occurred()) return std::nullopt;
    }
    PyObject* expression = PyDict_GetItemString(dict, "expression");
    if (expression != nullptr && expression != Py_None) {
        auto e = text_item(dict, "expression");
        if (!e) return std::nullopt;
        r.expression = *e;
    }
    PyObject* deps = PyDict_GetItemString(dict, "depends_on");
    if (deps != nullptr) {
        Owned seq(PySequence_Fast(deps, "depends_on must be a sequence"));
        if (!seq) return std::nullopt;
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
            Py_ssize_t n = 0;
            const char* d = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(seq.get(), i), &n);
            if (d == nullptr) return std::nullopt;
            r.depends_on.emplace_back(d, static_cast<std::size_t>(n));
        }
    }
    return r;
}

// A list of str from any range of names (the registry's Text, or the string_views of a listing).
template <class Names>
PyObject* names_list(const Names& names) {
    Owned list(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& n : names) {
        Owned s(str_of(n));
        if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
    }
    return list.release();
}

// shard_count_for(processors) -> int
PyObject* shard_count_for(PyObject*, PyObject* arg) {
    const unsigned long p = PyLong_AsUnsignedLong(arg);
    if (PyErr_Occurred()) return nullptr;
    return PyLong_FromSize_t(torvane::shard_count_for(static_cast<unsigned>(p)));
}

// shard_count() -> the process-wide count
PyObject* shard_count(PyObject*, PyObject*) { return PyLong_FromSize_t(torvane::shard_count()); }

// builtin_records(shards=None) -> every record of a fresh registry (over `shards` shards, or
// the process's count), looked up by its listed name
PyObject* builtin_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t shards = torvane::shard_count();
    if (nargs > 0) {
        const Py_ssize_t n = PyLong_AsSsize_t(args[0]);
        if (PyErr_Occurred()) return nullptr;
        if (n < 2 || (n & (n - 1)) != 0) {
            return PyErr_Format(PyExc_ValueError, "shards must be a power of two greater than 1");
        }
        shards = static_cast<std::size_t>(n);
    }
    const FormulasRegistry registry = FormulasRegistry::create(shards);
    Owned out(PyDict_New());
    if (!out) return nullptr;
    for (const Text& name : registry.names()) {
        auto record = registry.lookup(name);
        if (!record) return PyErr_Format(PyExc_AssertionError, "listed name not found");
        Owned d(record_dict(*record));
        if (!d || PyDict_SetItemString(out.get(), name.c_str(), d.get()) < 0) return nullptr;
    }
    return out.release();
}

// builtin_registries(shards, builds, names) -> for each of `builds` fresh registries over
// `shards` shards: (len, the keys in the map's own order, the value found under each of `names`
// or None, the sorted listing, whether that came from the table's order, shards in use, its
// hash key as (k0, k1))
PyObject* builtin_registries(PyObject*, PyObject* args) {
    Py_ssize_t shards = 0;
    Py_ssize_t builds = 0;
    PyObject* wanted = nullptr;
    if (!PyArg_ParseTuple(args, "nnO", &shards, &builds, &wanted)) return nullptr;
    if (shards < 2 || (shards & (shards - 1)) != 0) {
        return PyErr_Format(PyExc_ValueError, "shards must be a power of two greater than 1");
    }
    Owned seq(PySequence_Fast(wanted, "names must be a sequence"));
    if (!seq) return nullptr;
    std::vector<std::string_view> names;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        Py_ssize_t n = 0;
        const char* s = PyUnicode_AsUTF8AndSize(PySequence_Fast_GET_ITEM(seq.get(), i), &n);
        if (s == nullptr) return nullptr;
        names.emplace_back(s, static_cast<std::size_t>(n));
    }
    Owned out(PyList_New(0));
    if (!out) return nullptr;
    for (Py_ssize_t b = 0; b < builds; ++b) {
        const FormulasRegistry registry =
            FormulasRegistry::create(static_cast<std::size_t>(shards));
        Owned found(PyList_New(0));
        if (!found) return nullptr;
        for (std::string_view name : names) {
            const auto value = registry.find_value(name);
            Owned item(value ? PyFloat_FromDouble(*value) : Py_NewRef(Py_None));
            if (!item || PyList_Append(found.get(), item.get()) < 0) return nullptr;
        }
        torvane::Vec<std::string_view> scratch(registry.len());
        const auto sorted = registry.sorted_names(scratch);
        Owned listing(names_list(sorted));
        if (!listing) return nullptr;
        const torvane::HashKey& key = registry.*member(torvane::registry_key::Tag{});
        Owned build(Py_BuildValue(
            "(nNOONn(KK))", static_cast<Py_ssize_t>(registry.len()), names_list(registry.names()),
            found.get(), listing.get(), PyBool_FromLong(sorted.data() != scratch.data()),
            static_cast<Py_ssize_t>(registry.shards_in_use()),
            static_cast<unsigned long long>(key.k0), static_cast<unsigned long long>(key.k1)));
        if (!build || PyList_Append(out.get(), build.get()) < 0) return nullptr;
    }
    return out.release();
}

// registry_names() -> the keys of a fresh registry in the map's own order
PyObject* registry_names(PyObject*, PyObject*) {
    return names_list(FormulasRegistry::create().names());
}

// registry_facts() -> (len, shards, heap blocks) of a fresh registry
PyObject* registry_facts(PyObject*, PyObject*) {
    const FormulasRegistry registry = FormulasRegistry::create();
    return Py_BuildValue("(nnn)", static_cast<Py_ssize_t>(registry.len()),
                         static_cast<Py_ssize_t>(registry.shards()),
                         static_cast<Py_ssize_t>(registry.heap_blocks()));
}

// insert_records(shards, records, builtin=False) -> (replaced, len, stored, names)
// Inserts the records in order into a registry (empty with `shards` shards, or a fresh built-in
// one), then reports what each insert replaced, the count, every record looked up by name and
// the unsorted names.
PyObject* insert_records(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 2 || nargs > 3)
        return PyErr_Format(PyExc_TypeError, "insert_records(shards, records, builtin=False)");
    const Py_ssize_t shards = PyLong_AsSsize_t(args[0]);
    if (PyErr_Occurred()) return nullptr;
    const bool builtin = nargs == 3 && PyObject_IsTrue(args[2]) == 1;
    if (!builtin && (shards < 2 || (shards & (shards - 1)) != 0)) {
        return PyErr_Format(PyExc_ValueError, "shards must be a power of two greater than 1");
    }
    Owned seq(PySequence_Fast(args[1], "records must be a sequence"));
    if (!seq) return nullptr;
    FormulasRegistry registry =
        builtin ? FormulasRegistry::create() : FormulasRegistry(static_cast<std::size_t>(shards));
    Owned replaced(PyList_New(0));
    if (!replaced) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        auto record = record_from(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!record) return nullptr;
        auto previous = registry.insert(*record);
        Owned item(previous ? record_dict(*previous) : Py_NewRef(Py_None));
        if (!item || PyList_Append(replaced.get(), item.get()) < 0) return nullptr;
    }
    Owned stored(PyDict_New());
    if (!stored) return nullptr;
    const auto names = registry.names();
    for (const Text& name : names) {
        auto record = registry.lookup(name);
        if (!record) return PyErr_Format(PyExc_AssertionError, "listed name not found");
        Owned d(record_dict(*record));
        Owned key(str_of(name));
        if (!d || !key || PyDict_SetItem(stored.get(), key.get(), d.get()) < 0) return nullptr;
    }
    Owned listed(names_list(names));
    if (!listed) return nullptr;
    return Py_BuildValue("(OnOO)", replaced.get(), static_cast<Py_ssize_t>(registry.len()),
                         stored.get(), listed.get());
}

// constant_listing(shards, records) -> (sorted names, whether they came from the table's order)
// of a built-in registry over `shards` shards after inserting the records, in order.
PyObject* constant_listing(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2) return PyErr_Format(PyExc_TypeError, "constant_listing(shards, records)");
    const Py_ssize_t shards = PyLong_AsSsize_t(args[0]);
    if (PyErr_Occurred()) return nullptr;
    if (shards < 2 || (shards & (shards - 1)) != 0) {
        return PyErr_Format(PyExc_ValueError, "shards must be a power of two greater than 1");
    }
    Owned seq(PySequence_Fast(args[1], "records must be a sequence"));
    if (!seq) return nullptr;
    FormulasRegistry registry = FormulasRegistry::create(static_cast<std::size_t>(shards));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        auto record = record_from(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!record) return nullptr;
        (void)registry.insert(*record);
    }
    torvane::Vec<std::string_view> scratch(registry.len());
    const auto names = registry.sorted_names(scratch);
    Owned list(names_list(names));
    if (!list) return nullptr;
    return Py_BuildValue("(ON)", list.get(), PyBool_FromLong(names.data() != scratch.data()));
}

// datasheet_texts(records) -> {name: (datasheet_text's text, the JSON writer's text of the
// looked-up record)} for every record of a built-in registry after inserting `records`
PyObject* datasheet_texts(PyObject*, PyObject* arg) {
    Owned seq(PySequence_Fast(arg, "records must be a sequence"));
    if (!seq) return nullptr;
    FormulasRegistry registry = FormulasRegistry::create();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        auto record = record_from(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!record) return nullptr;
        (void)registry.insert(*record);
    }
    Owned out(PyDict_New());
    if (!out) return nullptr;
    for (const Text& name : registry.names()) {
        auto direct = torvane::datasheet_text(registry, name);
        auto record = registry.lookup(name);
        if (!direct || !record) return PyErr_Format(PyExc_AssertionError, "listed name not found");
        const Text written = torvane::datasheet_json(*record);
        Owned pair(Py_BuildValue("(NN)", str_of(direct->view()), str_of(written)));
        if (!pair || PyDict_SetItemString(out.get(), name.c_str(), pair.get()) < 0) return nullptr;
    }
    return out.release();
}

// rw_lock_exclusion(threads, rounds) -> (torn reads seen, writes done). Every thread takes a
// shard lock `rounds` times, one time in four to write: a writer changes two counters one after
// the other, and a reader that ever sees them differ saw a write half done.
PyObject* rw_lock_exclusion(PyObject*, PyObject* args) {
    int threads = 0;
    int rounds = 0;
    if (!PyArg_ParseTuple(args, "ii", &threads, &rounds)) return nullptr;
    torvane::RwLock lock;
    volatile long first = 0;
    volatile long second = 0;
    std::atomic<long> torn{0};
    Py_BEGIN_ALLOW_THREADS;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                if ((r + t) % 4 == 0) {
                    std::unique_lock guard(lock);
                    first = first + 1;
                    std::this_thread::yield();
                    second = second + 1;
                } else {
                    std::shared_lock guard(lock);
                    if (first != second) torn.fetch_add(1);
                }
            }
        });
    }
    for (auto& w : workers) w.join();
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(ll)", torn.load(), static_cast<long>(first));
}

// rw_lock_handoff(holders, late, hold_ms, late_while_held) -> (jumped, stalls, holders out when
// the writer got in, late readers done). `holders` readers take the lock and keep it; a writer
// then asks for it and, once `late` more readers have queued behind it and hold_ms passed, the
// holders leave, so the writer has gone to sleep on them. The late readers come while the
// writer waits for the holders (sharing the lock with them), or while it holds the lock for
// hold_ms (`late_while_held`). A late reader that gets in before the writer is done jumped the
// queue. Each wait has a deadline: a sleeper nobody woke is woken here and counted as a stall.
PyObject* rw_lock_handoff(PyObject*, PyObject* args) {
    int holders = 0;
    int late = 0;
    int hold_ms = 0;
    int late_while_held = 0;
    if (!PyArg_ParseTuple(args, "iiip", &holders, &late, &hold_ms, &late_while_held))
        return nullptr;
    using namespace std::chrono;
    torvane::RwLock lock;
    std::latch holders_in(holders), late_queued(late), holders_go(1), writer_go(1);
    std::atomic<int> holders_out{0}, late_done{0}, jumped{0}, out_at_entry{-1};
    std::atomic<bool> writer_in{false}, writer_done{false};
    long stalls = 0;
    auto await = [&](auto ready) {
        for (auto deadline = steady_clock::now() + seconds(5); !ready();) {
            std::this_thread::sleep_for(microseconds(200));
            if (steady_clock::now() > deadline) {
                ++stalls;
                torvane::RwLockProbe::wake(lock);
                deadline = steady_clock::now() + seconds(5);
            }
        }
    };
    auto pause = [&] { std::this_thread::sleep_for(milliseconds(hold_ms)); };
    Py_BEGIN_ALLOW_THREADS;
    std::vector<std::thread> threads;
    for (int i = 0; i < holders; ++i) {
        threads.emplace_back([&] {
            std::shared_lock guard(lock);
            holders_in.count_down();
            holders_go.wait();
            holders_out.fetch_add(1);
        });
    }
    holders_in.wait();
    threads.emplace_back([&] {
        std::unique_lock guard(lock);
        out_at_entry = holders_out.load();
        writer_in = true;
        writer_go.wait();
        writer_done = true;
    });
    auto queue_late = [&] {
        for (int i = 0; i < late; ++i) {
            threads.emplace_back([&] {
                late_queued.count_down();
                std::shared_lock guard(lock);
                if (!writer_done) jumped.fetch_add(1);
                late_done.fetch_add(1);
            });
        }
        late_queued.wait();
        pause();  // each has asked for the lock by now
    };
    await([&] { return torvane::RwLockProbe::writer_bit(lock); });
    if (!late_while_held) queue_late();
    pause();  // the writer sleeps on the holders
    holders_go.count_down();
    await([&] { return writer_in.load(); });
    if (late_while_held) queue_late();
    writer_go.count_down();
    await([&] { return late_done.load() == late; });
    for (auto& t : threads) t.join();
    Py_END_ALLOW_THREADS;
    return Py_BuildValue("(ilii)", jumped.load(), stalls, out_at_entry.load(), late_done.load());
}

// rw_lock_publish(rounds) -> what a reader read in each round. Each round a writer stores the
// round's number under the lock, and then a reader takes the lock for reading and reads it. The
// two meet only through the lock (the reader waits for a relaxed flag, which orders nothing),
// so under ThreadSanitizer the read is a race unless taking the lock for reading acquires what
// the writer's unlock released.
PyObject* rw_lock_publish(PyObject*, PyObject* arg) {
    const long rounds = PyLong_AsLong(arg);
    if (PyErr_Occurred()) return nullptr;
    std::vector<long> seen(static_cast<std::size_t>(std::max(rounds, 0L)));
    Py_BEGIN_ALLOW_THREADS;
    for (long r = 0; r < rounds; ++r) {
        torvane::RwLock lock;
        long data = 0;
        std::atomic<bool> written{false};
        std::thread reader([&] {
            while (!written.load(std::memory_order_relaxed)) std::this_thread::yield();
            std::shared_lock guard(lock);
            seen[static_cast<std::size_t>(r)] = data;
        });
        std::thread writer([&] {
            {
                std::unique_lock guard(lock);
                data = r + 1;
            }
            written.store(true, std::memory_order_relaxed);
        });
        writer.join();
        reader.join();
    }
    Py_END_ALLOW_THREADS;
    Owned out(PyList_New(0));
    if (!out) return nullptr;
    for (long v : seen) {
        Owned item(PyLong_FromLong(v));
        if (!item || PyList_Append(out.get(), item.get()) < 0) return nullptr;
    }
    return out.release();
}

// lookup_is_deep_copy(name) -> (changed copy, stored record after the copy was changed and
// dropped). The copy's texts and list are changed in place, so a shallow copy would show.
PyObject* lookup_is_deep_copy(PyObject*, PyObject* arg) {
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(arg, &n);
    if (s == nullptr) return nullptr;
    const std::string_view name(s, static_cast<std::size_t>(n));
    const FormulasRegistry registry = FormulasRegistry::create();
    Owned changed;
    {
        auto copy = registry.lookup(name);
        if (!copy) return PyErr_Format(PyExc_KeyError, "%s", torvane::render(copy.error()).c_str());
        for (char& c : copy->name) c = 'X';
        for (char& c : copy->units) c = 'Y';
        copy->value = -1.0;
        if (copy->expression) copy->expression->assign("changed");
        for (Text& d : copy->depends_on) d.assign("changed");
        copy->depends_on.emplace_back("extra");
        changed = Owned(record_dict(*copy));
        if (!changed) return nullptr;
    }
    auto again = registry.lookup(name);
    if (!again) return PyErr_Format(PyExc_AssertionError, "stored record vanished");
    Owned stored(record_dict(*again));
    if (!stored) return nullptr;
    return PyTuple_Pack(2, changed.get(), stored.get());
}

// render_error(kind, first, second="") -> the message of the error of that kind
PyObject* render_error(PyObject*, PyObject* args) {
    int kind = 0;
    const char* a = nullptr;
    Py_ssize_t na = 0;
    const char* b = "";
    Py_ssize_t nb = 0;
    if (!PyArg_ParseTuple(args, "is#|s#", &kind, &a, &na, &b, &nb)) return nullptr;
    const Text first(a, static_cast<std::size_t>(na));
    const Text second(b, static_cast<std::size_t>(nb));
    namespace e = torvane::registry_error;
    torvane::RegistryError error;
    switch (kind) {
        case 0: error = e::NotFound{first}; break;
        case 1: error = e::NotImplemented{first}; break;
        case 2: error = e::LoadFailed{first, second}; break;
        case 3: error = e::InvalidSchema{first}; break;
        case 4: error = e::CyclicDerivation{first}; break;
        case 5: error = e::ParseError{first, second}; break;
        default: return PyErr_Format(PyExc_ValueError, "no error kind %d", kind);
    }
    return str_of(torvane::render(error));
}

// sort_by_bytes(names: list[bytes]) -> the same bytes in the listings' order
PyObject* sort_by_bytes(PyObject*, PyObject* arg) {
    Owned seq(PySequence_Fast(arg, "names must be a sequence"));
    if (!seq) return nullptr;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    torvane::Vec<std::string_view> names;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(item)) return PyErr_Format(PyExc_TypeError, "names must be bytes");
        names.emplace_back(PyBytes_AS_STRING(item),
                           static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    torvane::sort_by_bytes(names);
    Owned out(PyList_New(n));
    if (!out) return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const auto& s = names[static_cast<std::size_t>(i)];
        PyObject* b = PyBytes_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        if (b == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), i, b);
    }
    return out.release();
}

// same_bytes(a: bytes, b: bytes) -> the registry's key comparison
PyObject* same_bytes(PyObject*, PyObject* args) {
    const char* a = nullptr;
    const char* b = nullptr;
    Py_ssize_t na = 0;
    Py_ssize_t nb = 0;
    if (!PyArg_ParseTuple(args, "y#y#", &a, &na, &b, &nb)) return nullptr;
    return PyBool_FromLong(
        torvane::same_bytes({a, static_cast<std::size_t>(na)}, {b, static_cast<std::size_t>(nb)}));
}

// same_name_words(a: bytes, b: bytes) -> how a look-up compares a name of at most 16 bytes
// with a built-in one: by the words the hash reads
PyObject* same_name_words(PyObject*, PyObject* args) {
    const char* a = nullptr;
    const char* b = nullptr;
    Py_ssize_t na = 0;
    Py_ssize_t nb = 0;
    if (!PyArg_ParseTuple(args, "y#y#", &a, &na, &b, &nb)) return nullptr;
    if (na > 16 || nb > 16) {
        PyErr_SetString(PyExc_ValueError, "names of at most 16 bytes");
        return nullptr;
    }
    const auto words = [](const char* p, Py_ssize_t n) {
        return torvane::prehash({p, static_cast<std::size_t>(n)});
    };
    return PyBool_FromLong(words(a, na).same_name(words(b, nb)));
}

// wide_product(a, b) -> ((low, high) of the 64x64-bit product built from 32-bit ones, the same
// of the compiler's 128-bit product or None where there is none)
PyObject* wide_product(PyObject*, PyObject* args) {
    unsigned long long a = 0;
    unsigned long long b = 0;
    if (!PyArg_ParseTuple(args, "KK", &a, &b)) return nullptr;
    using Halves = std::pair<unsigned long long, unsigned long long>;
    const auto halves = [](torvane::hash_detail::Wide w) { return Halves(w.lo, w.hi); };
    const Halves portable = halves(torvane::hash_detail::wide_product_portable(a, b));
#ifdef __SIZEOF_INT128__
    const Halves native = halves(torvane::hash_detail::wide_product(a, b));
    return Py_BuildValue("((KK)(KK))", portable.first, portable.second, native.first,
                         native.second);
#else
    return Py_BuildValue("((KK)O)", portable.first, portable.second, Py_None);
#endif
}

// keyed_hashes(k0, k1, names: list[bytes]) -> each name's hash under the key (k0, k1), then
// {name: hash} of every built-in name from the words of its name made at compile time
PyObject* keyed_hashes(PyObject*, PyObject* args) {
    unsigned long long k0 = 0;
    unsigned long long k1 = 0;
    PyObject* names = nullptr;
    if (!PyArg_ParseTuple(args, "KKO", &k0, &k1, &names)) return nullptr;
    const torvane::HashKey key{k0, k1};
    Owned seq(PySequence_Fast(names, "names must be a sequence"));
    if (!seq) return nullptr;
    Owned hashes(PyList_New(0));
    if (!hashes) return nullptr;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(seq.get()); ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq.get(), i);
        if (!PyBytes_Check(item)) return PyErr_Format(PyExc_TypeError, "names must be bytes");
        const std::string_view name(PyBytes_AS_STRING(item),
                                    static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
        Owned h(PyLong_FromUnsignedLongLong(torvane::keyed_hash(key, name)));
        if (!h || PyList_Append(hashes.get(), h.get()) < 0) return nullptr;
    }
    Owned builtin(PyDict_New());
    if (!builtin) return nullptr;
    for (std::size_t i = 0; i < torvane::builtin::kCount; ++i) {
        Owned name(str_of(torvane::builtin::kEntries[i].name));
        Owned h(
            PyLong_FromUnsignedLongLong(torvane::keyed_hash(key, torvane::builtin::kPrehashes[i])));
        if (!name || !h || PyDict_SetItem(builtin.get(), name.get(), h.get()) < 0) return nullptr;
    }
    return PyTuple_Pack(2, hashes.get(), builtin.get());
}

template <class F>
PyCFunction fn(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

}  // namespace

PyMethodDef formulas_hooks[] = {
    {"shard_count_for", fn(shard_count_for), METH_O, nullptr},
    {"shard_count", fn(shard_count), METH_NOARGS, nullptr},
    {"builtin_records", fn(builtin_records), METH_FASTCALL, nullptr},
    {"builtin_registries", fn(builtin_registries), METH_VARARGS, nullptr},
    {"registry_names", fn(registry_names), METH_NOARGS, nullptr},
    {"registry_facts", fn(registry_facts), METH_NOARGS, nullptr},
    {"insert_records", fn(insert_records), METH_FASTCALL, nullptr},
    {"constant_listing", fn(constant_listing), METH_FASTCALL, nullptr},
    {"datasheet_texts", fn(datasheet_texts), METH_O, nullptr},
    {"lookup_is_deep_copy", fn(lookup_is_deep_copy), METH_O, nullptr},
    {"rw_lock_exclusion", fn(rw_lock_exclusion), METH_VARARGS, nullptr},
    {"rw_lock_handoff", fn(rw_lock_handoff), METH_VARARGS, nullptr},
    {"rw_lock_publish", fn(rw_lock_publish), METH_O, nullptr},
    {"render_error", fn(render_error), METH_VARARGS, nullptr},
    {"sort_by_bytes", fn(sort_by_bytes), METH_O, nullptr},
    {"same_bytes", fn(same_bytes), METH_VARARGS, nullptr},
    {"same_name_words", fn(same_name_words), METH_VARARGS, nullptr},
    {"wide_product", fn(wide_product), METH_VARARGS, nullptr},
    {"keyed_hashes", fn(keyed_hashes), METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},  // sentinel
};
