// The states of dicts, for caches that are valid while the dicts they read are unchanged:
// version tags (up to 3.11 the host's own, from 3.12 kept by a dict watcher of the frame),
// the states of a few namespaces taken together, content marks of passing dicts, and the
// host's record of whether a dict's keys are all texts.
#pragma once

#include "module_frame/versions.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace frame {

#if FRAME_FREE_THREADED
// Free-threaded hosts (3.13t and later).  Any thread may change a dict at any moment, and a
// dict's version tag is written under the dict's own lock, so it is not read here at all.
// What is kept instead is one watched epoch: a dict watcher of the frame moves it on at
// every event of every dict it watches.  The host calls the watcher inside the changing
// thread's critical section on the dict, before the change; so an epoch read while holding
// the dict's critical section is one at which no change of that dict is under way, and while
// the epoch still reads the same later, no change of the dict has begun since.  The epoch is
// written only when a watched dict changes: reading it is a read of a cache line that every
// thread shares unchanged.
class WatchedEpoch {
public:
    static std::uint64_t now() noexcept { return last_.load(std::memory_order_acquire); }

private:
    friend class WatchedTags;
    static std::atomic<std::uint64_t> last_;
};
inline std::uint64_t watched_epoch() noexcept { return WatchedEpoch::now(); }

// Whether the watched epoch is still `epoch`, after reads of objects that watched dicts held
// at `epoch` (as a sequence lock's reader checks its sequence): then no change of a watched
// dict began meanwhile, so each of those objects was still held and alive while it was read
// (the host tells the watcher before it lets go of a value), and what was read is what they
// held at `epoch`.  The reads come before this check.
inline bool epoch_still(std::uint64_t epoch) noexcept {
    std::atomic_thread_fence(std::memory_order_acquire);
    return watched_epoch() == epoch;
}

// Watches each of `dicts` (exact dicts) and reads the watched epoch while holding their
// critical sections (two at most, taken together as the host takes two); 0 when one of them
// cannot be watched (the host has no watcher left to give).
std::uint64_t epoch_watching(PyObject* const* dicts, std::size_t count) noexcept;

// The states of one or two exact dicts, for a cache to tell later whether any of them has
// changed since: the epoch at which they were watched and at rest.  take() before the first
// read of them, held() after: a read that saw a change saw the epoch move on before it.
template <std::size_t N>
class DictStates {
    static_assert(N == 1 || N == 2, "the host takes critical sections on two objects at most");

public:
    void take(const std::array<PyObject*, N>& dicts) noexcept {
        epoch_ = epoch_watching(dicts.data(), N);
    }
    bool held(const std::array<PyObject*, N>&) const noexcept {
        return epoch_ != 0 && epoch_ == watched_epoch();
    }

private:
    std::uint64_t epoch_ = 0;  // 0: not every dict was watched
};
#else
// A number that changes whenever `dict` (an exact dict) changes, and that no other state of
// any dict shares.  From 3.12 the dict is watched from its first use on; when it cannot be
// watched, every call gives a new number, so that a cache keyed on it never hits.
#if FRAME_HOST_AT_LEAST(12)
std::uint64_t version_tag(PyObject* dict) noexcept;
// Whether `dict` is watched, so that its version tag is its own and kept up to date.
bool is_watched(PyObject* dict) noexcept;
// A number that changes whenever any watched dict changes or goes away: the last tag given
// to any state of a watched dict.  Read where it is kept (a check of a cache reads it each
// time); only the table of watched dicts in dict_states.cpp moves it on.
class WatchedEpoch {
public:
    static std::uint64_t now() noexcept { return last_tag_; }

private:
    friend class WatchedTags;
    static std::uint64_t last_tag_;
};
inline std::uint64_t watched_epoch() noexcept { return WatchedEpoch::now(); }
#else
inline std::uint64_t version_tag(PyObject* dict) noexcept {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// The states of a few exact dicts, taken together, for a cache to tell later whether any of
// them has changed since.  Up to 3.11 these are the dicts' version tags, compared one by one.
// From 3.12 the tags come from the dict watchers; while every one of the dicts is watched,
// the watched epoch (which any change of any watched dict moves on) answers in one read,
// and the tags are compared one by one only after some watched dict changed.
template <std::size_t N>
class DictStates {
public:
    // Takes the states of `dicts` now.
    void take(const std::array<PyObject*, N>& dicts) noexcept {
        for (std::size_t i = 0; i < N; ++i) tags_[i] = version_tag(dicts[i]);
#if FRAME_HOST_AT_LEAST(12)
        epoch_ = 0;
        for (PyObject* dict : dicts)
            if (!is_watched(dict)) return;
        epoch_ = watched_epoch();
#endif
    }

    // Whether none of `dicts` (the same dicts as taken) has changed since.  They are looked
    // at in order, up to the first that changed, so a later one need only be alive while
    // the earlier ones are unchanged (a namespace that an earlier one holds, say).
    bool held(const std::array<PyObject*, N>& dicts) noexcept {
#if FRAME_HOST_AT_LEAST(12)
        if (epoch_ != 0 && epoch_ == watched_epoch()) return true;
#endif
        for (std::size_t i = 0; i < N; ++i)
            if (version_tag(dicts[i]) != tags_[i]) return false;
#if FRAME_HOST_AT_LEAST(12)
        // Still the same tags, so all still watched if they were: the epoch is now.
        if (epoch_ != 0) epoch_ = watched_epoch();
#endif
        return true;
    }

private:
    std::uint64_t tags_[N] = {};
#if FRAME_HOST_AT_LEAST(12)
    std::uint64_t epoch_ = 0;  // 0: not every dict was watched
#endif
};
#endif  // FRAME_FREE_THREADED

// A mark of an exact dict's contents at one moment, for dicts that come and go (the legs of
// a route plan), which the table behind version_tag is not meant for.  Up to 3.11 it is the
// dict's version tag.  From 3.12 the dict is given to a second watcher, which only counts
// its events; the mark is the count, and holds while no dict that watcher was ever given
// has changed (or gone away) since: dicts of passing data that nobody changes.  A dict that
// shares its values with an object (an instance's namespace) is never marked.
//
// On 3.13t the mark is the dict's version tag, which the host gives a new value, unique
// among all dicts and threads, at every change of the dict's contents (and changes when a
// watcher is added); it is written under the dict's critical section, and read here under
// it, so a mark that still holds was taken and checked with no change under way and none
// in between.  3.14t keeps no such tag, and marks nothing.
class ContentMark {
public:
    // Marks `dict` now; false when it cannot be marked.
    bool take(PyObject* dict) noexcept;
    // Marks `dict` now if its keys are all exact texts (has_text_keys_only), both read at one
    // moment; false otherwise.
    bool take_of_text_keys(PyObject* dict) noexcept;
    // Whether `dict`, marked by take(), is unchanged since.
    bool held(PyObject* dict) const noexcept;
    // The same, where the caller holds the dict's critical section already.
    bool held_locked(PyObject* dict) const noexcept;

private:
    std::uint64_t value_ = 0;
};

// Whether `dict` (an exact dict) keeps its keys in a table of its own whose keys are all
// exact texts, as the host itself records it: from 3.11 the kind of the keys table, up to
// 3.10 the lookup function the table uses; the host gives either up for good at the first
// key of another type.  Looking a text up in such a dict compares texts only and runs no
// code.  False too where the host's record cannot be read (learn_dict_layout below).
// Always false without the GIL, where another thread may add a key of another type between
// this answer and the lookup it stands for (ContentMark::take_of_text_keys reads it with
// the dict's contents, under its critical section).
bool has_text_keys_only(PyObject* dict) noexcept;

// Learns how the host records a table of text keys, from dicts made for the purpose: once,
// while a module is executed (before any of its functions can run in any thread).
void learn_dict_layout() noexcept;

}  // namespace frame
