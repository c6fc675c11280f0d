// The states of dicts; see dict_states.hpp.
#include "module_frame/dict_states.hpp"

#include "module_frame/host.hpp"
#include "module_frame/internal/host_objects.hpp"
#include "module_frame/ref.hpp"

namespace frame {

namespace {

// The start of the host's keys table of a dict, as far as has_text_keys_only reads it.
#if FRAME_HOST_AT_LEAST(11)
struct KeysHead {
    Py_ssize_t refcount;
    std::uint8_t log2_size, log2_index_bytes, kind;
};
constexpr std::uint8_t general_keys = 0;  // the host's DICT_KEYS_GENERAL
constexpr std::uint8_t text_keys = 1;     // DICT_KEYS_UNICODE
#else
struct KeysHead {
    Py_ssize_t refcount, size;
    void* lookup;
};
#endif

const KeysHead& keys_head(PyObject* dict) noexcept {
    return *reinterpret_cast<const KeysHead*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
}

// What a table of text keys looks like on this host, learnt from dicts made for the
// purpose (up to 3.10: the two lookup functions such tables use, one before and one after
// a deletion); `readable` stays false unless every probe gave the expected answer.
struct TextKeysRecord {
    bool learnt = false, readable = false;
#if !FRAME_HOST_AT_LEAST(11)
    void* lookups[2] = {};
#endif
};
TextKeysRecord text_keys_record;

void learn_text_keys_record() noexcept {
    if (text_keys_record.learnt) return;
    text_keys_record.learnt = true;
    host::RaisedException pending = host::fetch_raised();
    Ref texts = Ref::steal(PyDict_New());
    Ref others = Ref::steal(PyDict_New());
    Ref one = Ref::steal(PyLong_FromLong(1));
    const bool made = texts && others && one &&
                      PyDict_SetItemString(texts.get(), "a", one.get()) == 0 &&
                      PyDict_SetItemString(texts.get(), "b", one.get()) == 0 &&
                      PyDict_SetItem(others.get(), one.get(), one.get()) == 0;
    if (made) {
#if FRAME_HOST_AT_LEAST(11)
        text_keys_record.readable = keys_head(texts.get()).kind == text_keys &&
                                    keys_head(others.get()).kind == general_keys;
#else
        void* const fresh = keys_head(texts.get()).lookup;
        void* const general = keys_head(others.get()).lookup;
        if (PyDict_DelItemString(texts.get(), "a") == 0) {
            void* const after_deletion = keys_head(texts.get()).lookup;
            text_keys_record.lookups[0] = fresh;
            text_keys_record.lookups[1] = after_deletion;
            text_keys_record.readable =
                fresh && after_deletion && general && fresh != general && after_deletion != general;
        }
#endif
    }
    PyErr_Clear();
    host::restore_raised(pending);
}

// has_text_keys_only, read where nothing changes the dict meanwhile: with the GIL, or
// under the dict's critical section.
bool keys_are_texts(PyObject* dict) noexcept {
    if (!text_keys_record.learnt) learn_text_keys_record();
    if (!text_keys_record.readable || reinterpret_cast<PyDictObject*>(dict)->ma_values)
        return false;
#if FRAME_HOST_AT_LEAST(11)
    return keys_head(dict).kind == text_keys;
#else
    void* const lookup = keys_head(dict).lookup;
    return lookup == text_keys_record.lookups[0] || lookup == text_keys_record.lookups[1];
#endif
}

}  // namespace

void learn_dict_layout() noexcept { learn_text_keys_record(); }

bool has_text_keys_only(PyObject* dict) noexcept {
    if constexpr (!host::gil_guards_shared_state) return false;  // see dict_states.hpp
    return keys_are_texts(dict);
}

#if FRAME_FREE_THREADED
// The watched epoch of a free-threaded host (see dict_states.hpp).  It starts at 1 (0 means
// "not watched") and moves on at every event of every dict the watcher was given, in the
// changing thread, inside its critical section on the dict, before the change.

// What moves the watched epoch on.
class WatchedTags {
public:
    static void next() noexcept { WatchedEpoch::last_.fetch_add(1, std::memory_order_acq_rel); }
};

std::atomic<std::uint64_t> WatchedEpoch::last_{1};

namespace {

int on_watched_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    WatchedTags::next();
    return 0;
}

// The frame's dict watcher, registered once, at the first use, under a lock of its own (the
// host's registry of watchers is not meant for two threads adding at once); read with one
// atomic load afterwards.  -1: not asked yet; -2: the host had none to give.
constexpr int watcher_not_asked = -1, watcher_refused = -2;
std::atomic<int> watcher_id{watcher_not_asked};
PyMutex watcher_lock{};

int epoch_watcher() noexcept {
    const int known = watcher_id.load(std::memory_order_acquire);
    if (known != watcher_not_asked) return known;
    PyMutex_Lock(&watcher_lock);
    int id = watcher_id.load(std::memory_order_relaxed);
    if (id == watcher_not_asked) {
        host::RaisedException pending = host::fetch_raised();
        id = PyDict_AddWatcher(on_watched_event);
        if (id < 0) {
            id = watcher_refused;
            PyErr_Clear();
        }
        host::restore_raised(pending);
        watcher_id.store(id, std::memory_order_release);
    }
    PyMutex_Unlock(&watcher_lock);
    return id;
}

// Gives `dict` to the watcher; inside its critical section, where the host also writes the
// dict's version tag (which holds the watcher bits).  Watching a dict twice changes nothing.
bool watch_locked(int id, PyObject* dict) noexcept {
    if (PyDict_Watch(id, dict) == 0) return true;
    PyErr_Clear();
    return false;
}

}  // namespace

std::uint64_t epoch_watching(PyObject* const* dicts, std::size_t count) noexcept {
    const int id = epoch_watcher();
    if (id < 0) return 0;
    std::uint64_t epoch = 0;
    if (count == 1) {
        host::CriticalSection locked(dicts[0]);
        if (watch_locked(id, dicts[0])) epoch = watched_epoch();
    } else {
        host::CriticalSection2 locked(dicts[0], dicts[1]);
        if (watch_locked(id, dicts[0]) && watch_locked(id, dicts[1])) epoch = watched_epoch();
    }
    return epoch;
}

#if !FRAME_HOST_AT_LEAST(14)
namespace {
// The dict's version tag (3.13t; deprecated in the headers since 3.12, and gone in 3.14),
// read under the dict's critical section.
std::uint64_t version_tag_locked(PyObject* dict) noexcept {
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
}
}  // namespace

bool ContentMark::take(PyObject* dict) noexcept {
    host::CriticalSection locked(dict);
    value_ = reinterpret_cast<PyDictObject*>(dict)->ma_values ? 0 : version_tag_locked(dict);
    return value_ != 0;
}

bool ContentMark::take_of_text_keys(PyObject* dict) noexcept {
    host::CriticalSection locked(dict);
    value_ = keys_are_texts(dict) ? version_tag_locked(dict) : 0;
    return value_ != 0;
}

bool ContentMark::held_locked(PyObject* dict) const noexcept {
    return value_ != 0 && version_tag_locked(dict) == value_;
}

bool ContentMark::held(PyObject* dict) const noexcept {
    host::CriticalSection locked(dict);
    return held_locked(dict);
}
#else
bool ContentMark::take(PyObject*) noexcept {
    value_ = 0;
    return false;  // no version tag to mark with (dict_states.hpp)
}

bool ContentMark::take_of_text_keys(PyObject*) noexcept { return take(nullptr); }
bool ContentMark::held(PyObject*) const noexcept { return false; }
bool ContentMark::held_locked(PyObject*) const noexcept { return false; }
#endif
#elif FRAME_HOST_AT_LEAST(12)
// Version tags from dict watchers.  A watched dict has an entry here with the tag of its
// current state; the watcher gives the entry a new tag before each change of the dict and
// drops it when the dict goes away.  Tags come from one counter, so no two states of any
// dicts share one; the counter also moves on when a watched dict goes away, so that its
// last value (the watched epoch) changes with every event of every watched dict.  The
// entries form a small open-addressing table keyed on the dict's address (linear probing,
// half full at most), so that a tag is found in a step or two.

// What moves the watched epoch on: every tag given.
class WatchedTags {
public:
    static std::uint64_t next() noexcept { return ++WatchedEpoch::last_tag_; }
};

namespace {

struct Watched {
    PyObject* dict = nullptr;  // identity only; null: a free slot
    std::uint64_t tag = 0;
};

constexpr std::size_t table_size = 128;  // a power of two
constexpr std::size_t max_watched = table_size / 2;
Watched watched[table_size];
std::size_t watched_count = 0;

std::uint64_t new_tag() noexcept { return WatchedTags::next(); }

std::size_t home_slot(PyObject* dict) noexcept {
    const auto address = reinterpret_cast<std::uintptr_t>(dict);
    return static_cast<std::size_t>((address >> 4) ^ (address >> 11)) & (table_size - 1);
}

// The slot holding `dict`, or the free slot where it would go.
std::size_t slot_of(PyObject* dict) noexcept {
    std::size_t slot = home_slot(dict);
    while (watched[slot].dict && watched[slot].dict != dict) slot = (slot + 1) & (table_size - 1);
    return slot;
}

// Empties `slot` and moves later entries of its run back, so that every entry stays
// reachable from its home slot.
void free_slot(std::size_t slot) noexcept {
    watched[slot] = {};
    for (std::size_t next = (slot + 1) & (table_size - 1); watched[next].dict;
         next = (next + 1) & (table_size - 1)) {
        const std::size_t home = home_slot(watched[next].dict);
        const bool reachable =
            slot <= next ? (slot < home && home <= next) : (slot < home || home <= next);
        if (reachable) continue;
        watched[slot] = watched[next];
        watched[next] = {};
        slot = next;
    }
    --watched_count;
}

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) noexcept {
    const std::size_t slot = slot_of(dict);
    if (!watched[slot].dict) return 0;
    const std::uint64_t tag = new_tag();  // the epoch moves on with every event
    if (event == PyDict_EVENT_DEALLOCATED)
        free_slot(slot);
    else
        watched[slot].tag = tag;
    return 0;
}

// A dict watcher of this module, registered with `callback` at the first use; false when the
// host has no watcher to give (every watcher slot taken).
struct Watcher {
    int id = -1;
    bool refused = false;

    bool ready(PyDict_WatchCallback callback) noexcept {
        if (id >= 0) return true;
        if (refused) return false;
        host::RaisedException pending = host::fetch_raised();
        id = PyDict_AddWatcher(callback);
        if (id < 0) {
            refused = true;
            PyErr_Clear();
        }
        host::restore_raised(pending);
        return id >= 0;
    }
};
Watcher tags_watcher;

std::uint64_t watch(PyObject* dict, std::size_t slot) noexcept {
    if (watched_count == max_watched || !PyDict_Check(dict) || !tags_watcher.ready(on_dict_event))
        return new_tag();
    if (PyDict_Watch(tags_watcher.id, dict) < 0) {
        PyErr_Clear();
        return new_tag();
    }
    watched[slot] = {dict, new_tag()};
    ++watched_count;
    return watched[slot].tag;
}

}  // namespace

std::uint64_t version_tag(PyObject* dict) noexcept {
    const std::size_t slot = slot_of(dict);
    return watched[slot].dict ? watched[slot].tag : watch(dict, slot);
}

bool is_watched(PyObject* dict) noexcept { return watched[slot_of(dict)].dict != nullptr; }

std::uint64_t WatchedEpoch::last_tag_ = 0;

// The second watcher, for content marks: it counts the events of every dict it was given.
namespace {
Watcher marks_watcher;
std::uint64_t mark_events = 1;

int count_mark_event(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
    ++mark_events;
    return 0;
}

}  // namespace

bool ContentMark::take(PyObject* dict) noexcept {
    value_ = 0;
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values || !marks_watcher.ready(count_mark_event))
        return false;
    if (PyDict_Watch(marks_watcher.id, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    value_ = mark_events;
    return true;
}

bool ContentMark::held(PyObject*) const noexcept { return value_ != 0 && value_ == mark_events; }

bool ContentMark::held_locked(PyObject* dict) const noexcept { return held(dict); }

bool ContentMark::take_of_text_keys(PyObject* dict) noexcept {
    value_ = 0;
    return keys_are_texts(dict) && take(dict);
}
#else
bool ContentMark::take(PyObject* dict) noexcept {
    if (reinterpret_cast<PyDictObject*>(dict)->ma_values) return false;
    value_ = version_tag(dict);
    return true;
}

bool ContentMark::held(PyObject* dict) const noexcept { return version_tag(dict) == value_; }

bool ContentMark::held_locked(PyObject* dict) const noexcept { return held(dict); }

bool ContentMark::take_of_text_keys(PyObject* dict) noexcept {
    return keys_are_texts(dict) && take(dict);
}
#endif

}  // namespace frame
