// Change detection: knowing, cheaply, that a dict or a class is still in the
// state in which a fast path checked it.
//
// A fast path checks something about a dict once (a table maps every byte to
// its canonical value, a namespace still binds portil's own int2byte) and
// remembers the verdict under a DictStamp. The verdict holds while
// `unchanged(dict, stamp)` says so for the dict looked up now. Stamps compare
// addresses only; a stamp never keeps its dict alive and is never followed.
//
// How a change is seen:
//   3.10, 3.11  every dict carries a version tag that changes with every
//               mutation and is unique within the process (PEP 509), so a
//               new dict at a freed dict's address has another tag.
//   3.12 on     the tag is deprecated (and gone in 3.14); the package
//               registers one dict watcher per interpreter (a watcher is
//               scarce: 8 per interpreter), shared by its five modules
//               through the interpreter's state dict. A stamped dict is
//               watched; the watcher is told of every mutation, clearing
//               and deallocation of it, before it happens, and bumps a
//               counter chosen by the dict's address. A stamp holds the
//               counter's value: a change, or the dict's death (after
//               which another dict may live at the same address), moves
//               the counter on, so the stamp no longer matches. Dicts that
//               share a counter only cost each other a re-check.
//
// Classes: the interpreter's type version tag (compat::type_version) is
// unique to one state of a class and its bases on every version, so a
// verdict about a class is remembered under its tag.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "compat.hpp"

namespace native {

// A state of one dict, as taken by DictChanges::stamp.
struct DictStamp {
    const PyObject* dict = nullptr;  // identity only
    std::uint64_t version = 0;
#if NATIVE_DICT_WATCHERS
    // The one `version` was read from: the counters live as long as the
    // process, so a stamp is checked without the DictChanges that took it.
    const std::atomic<std::uint64_t>* counter = nullptr;
#endif

    // Whether `current` (alive: just looked up or held) is the dict of this
    // stamp and has not changed since the stamp was taken.
    bool unchanged(PyObject* current) const {
        if (current != dict || current == nullptr) return false;
#if NATIVE_DICT_WATCHERS
        return counter->load(std::memory_order_acquire) == version;
#else
        return compat::dict_version_tag(current) == version;
#endif
    }
};

namespace detail {

#if NATIVE_DICT_WATCHERS
constexpr unsigned kChangeCounterBits = 12;
constexpr std::size_t kChangeCounters = std::size_t{1} << kChangeCounterBits;

// The counters that this library's watcher bumps. Every module of the
// package uses the counters of the library whose watcher the interpreter
// runs (see DictChanges::attach); they are shared by all interpreters of
// the process, which can only cost a re-check.
inline std::atomic<std::uint64_t> change_counters[kChangeCounters];

inline std::size_t change_counter_slot(const void* dict) {
    const auto address = reinterpret_cast<std::uintptr_t>(dict) >> 4;
    return static_cast<std::size_t>((address * UINT64_C(0x9E3779B97F4A7C15)) >> (64 - kChangeCounterBits));
}

inline int count_dict_change(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    change_counters[change_counter_slot(dict)].fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// What one interpreter's capsule holds: the watcher and its counters.
struct Watcher {
    int id;
    std::atomic<std::uint64_t>* counters;
};

inline constexpr char kWatcherCapsule[] = "tavro.native.dict_watcher";
#endif

}  // namespace detail

// The change detection of one module, for the interpreter it lives in. Part
// of the module state; all-zero until attach() runs in the module's exec.
class DictChanges {
public:
    // Joins the package's dict watcher of this interpreter, registering it
    // first if no module of the package has. When the interpreter has no
    // watcher left, nothing is ever found unchanged (every fast path checks
    // afresh). False with an exception only when the interpreter fails.
    bool attach() {
#if NATIVE_DICT_WATCHERS
        PyObject* shared = PyInterpreterState_GetDict(PyInterpreterState_Get());  // borrowed
        if (shared == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "the interpreter has no state dict");
            return false;
        }
        Ref key = Ref::steal(PyUnicode_FromString(detail::kWatcherCapsule));
        if (!key) return false;
        PyObject* found = nullptr;
        const int known = compat::dict_get_ref(shared, key.get(), &found);
        if (known < 0) return false;
        if (known == 0) {
            auto* mine = new (std::nothrow) detail::Watcher{PyDict_AddWatcher(detail::count_dict_change),
                                                            detail::change_counters};
            if (mine == nullptr) {
                PyErr_NoMemory();
                return false;
            }
            if (mine->id < 0) PyErr_Clear();  // all taken: run without one
            Ref capsule = Ref::steal(PyCapsule_New(mine, detail::kWatcherCapsule, release_watcher));
            if (!capsule) {
                delete mine;
                return false;
            }
            // Another thread may have registered one meanwhile: the first
            // stored wins, and the other is given back.
            if (compat::dict_set_default_ref(shared, key.get(), capsule.get(), &found) < 0) return false;
            if (found != capsule.get() && mine->id >= 0) PyDict_ClearWatcher(mine->id);
        }
        Ref holder = Ref::steal(found);
        auto* watcher = static_cast<detail::Watcher*>(PyCapsule_GetPointer(holder.get(), detail::kWatcherCapsule));
        if (watcher == nullptr) return false;
        watcher_id_ = watcher->id;
        counters_ = watcher->counters;
#endif
        return true;
    }

    // The current state of `dict`, which is watched from now on. Take it
    // before checking the dict and compare it again after (a check may run
    // code that changes the dict): see `checked`.
    DictStamp stamp(PyObject* dict) const {
#if NATIVE_DICT_WATCHERS
        if (counters_ == nullptr || watcher_id_ < 0) return {};
        // In the dict's critical section: free-threaded 3.13 sets the
        // watcher's bit with a plain read-modify-write of the word that a
        // mutation rewrites under that lock, and a lost bit would hide every
        // later change. (Not to be called inside that section already.)
        int watched;
        NATIVE_CRITICAL_SECTION_BEGIN(dict);
        watched = PyDict_Watch(watcher_id_, dict);
        NATIVE_CRITICAL_SECTION_END;
        if (watched < 0) {
            PyErr_Clear();
            return {};
        }
        const std::atomic<std::uint64_t>* counter = &counters_[detail::change_counter_slot(dict)];
        return {dict, counter->load(std::memory_order_acquire), counter};
#else
        return {dict, compat::dict_version_tag(dict)};
#endif
    }

    // The current state of `dict`, for which unchanged(dict, earlier) held
    // (so it is watched already, and alive since): as stamp(), without asking
    // the interpreter to watch it again.
    DictStamp restamp(PyObject* dict, const DictStamp& earlier) const {
#if NATIVE_DICT_WATCHERS
        if (earlier.dict != dict || counters_ == nullptr) return stamp(dict);
        return {dict, earlier.counter->load(std::memory_order_acquire), earlier.counter};
#else
        (void)earlier;
        return stamp(dict);
#endif
    }

    // Whether `dict` (alive: just looked up or held) is the dict of `stamp`
    // and has not changed since the stamp was taken.
    bool unchanged(PyObject* dict, const DictStamp& stamp) const { return stamp.unchanged(dict); }

    // Whether storing an attribute of an ordinary instance shows as a change
    // of its dict. CPython 3.13.0 writes such a store into the object's
    // inline values without telling the dict's watchers (later 3.13 releases
    // tell them), so there a stamp of an instance dict can miss a change.
    // check_instance_stores() finds out by trying; until it has, the answer
    // is no. A verdict about an instance dict may be remembered under a
    // stamp only where this holds.
    bool sees_instance_stores() const { return instance_stores_seen_; }

    // Tries it (after attach()): a store into an instance of a fresh plain
    // class, whose dict was stamped. False with an exception only when the
    // interpreter fails.
    bool check_instance_stores() {
        instance_stores_seen_ = false;
        Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O){}", "probe",
                                                   reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
        Ref instance = Ref::steal(cls ? PyObject_CallNoArgs(cls.get()) : nullptr);
        Ref key = Ref::steal(PyUnicode_InternFromString("probe"));
        if (!instance || !key || PyObject_SetAttr(instance.get(), key.get(), Py_None) < 0) return false;
        Ref dict = Ref::steal(PyObject_GenericGetDict(instance.get(), nullptr));
        if (!dict) return false;
        const DictStamp before = stamp(dict.get());
        if (PyObject_SetAttr(instance.get(), key.get(), Py_True) < 0) return false;
        instance_stores_seen_ = before.dict != nullptr && !unchanged(dict.get(), before);
        return true;
    }

private:
    bool instance_stores_seen_ = false;
#if NATIVE_DICT_WATCHERS
    static void release_watcher(PyObject* capsule) {
        delete static_cast<detail::Watcher*>(PyCapsule_GetPointer(capsule, detail::kWatcherCapsule));
    }

    int watcher_id_ = 0;
    std::atomic<std::uint64_t>* counters_ = nullptr;
#endif
};

// A verdict about one dict, kept with the stamp under which it was reached.
template <class Verdict>
struct Remembered {
    DictStamp stamp;
    Verdict verdict{};
};

// The verdict about `dict` that `check(dict) -> Verdict` reaches, checked
// again only when the dict changed since the last check. The check runs in
// the dict's critical section (free-threaded builds), and its verdict is
// remembered only when the dict did not change while it ran (a check may
// run code of the caller's, through a key's __eq__).
template <class Verdict, class Check>
Verdict checked(const DictChanges& changes, PyObject* dict, Remembered<Verdict>& memo, Check check) {
    if (dict == nullptr) return Verdict{};  // a namespace the collector cleared
    if (changes.unchanged(dict, memo.stamp)) return memo.verdict;
    Verdict verdict{};
    const DictStamp before = changes.stamp(dict);
    NATIVE_CRITICAL_SECTION_BEGIN(dict);
    verdict = check(dict);
    if (changes.unchanged(dict, before)) {
        memo.stamp = before;
        memo.verdict = verdict;
    } else {
        memo.stamp = {};
    }
    NATIVE_CRITICAL_SECTION_END;
    return verdict;
}

}  // namespace native
