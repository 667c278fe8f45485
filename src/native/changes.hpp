// Change detection: knowing, cheaply, that a dict or a class is still in the
// state in which a fast path checked it.
//
// A fast path checks something about a dict once (a table maps every byte to
// its canonical value, a namespace still binds portil's own int2byte) and
// remembers the verdict under a DictStamp. The verdict holds while
// `unchanged(dict, stamp)` says so for the dict looked up now. Stamps compare
// addresses only; a stamp never keeps its dict alive and is never followed.
//
// How a change is seen differs between versions (dict version tags on 3.10
// and 3.11, a dict watcher from 3.12 on): compat::DictVersions.
//
// Classes: the interpreter's type version tag (compat::type_version) is
// unique to one state of a class and its bases on every version, so a
// verdict about a class is remembered under its tag (ClassVerdicts).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

#include "compat.hpp"

namespace native {

// A state of one dict, as taken by DictChanges::stamp.
struct DictStamp {
    const PyObject* dict = nullptr;  // identity only
    std::uint64_t version = 0;
    // Where `version` was read from (compat::DictVersions): it lives as long
    // as the process, so a stamp is checked without the DictChanges that
    // took it.
    const compat::DictCounter* counter = nullptr;

    // Whether `current` (alive: just looked up or held) is the dict of this
    // stamp and has not changed since the stamp was taken.
    bool unchanged(PyObject* current) const {
        if (current != dict || current == nullptr) return false;
        return compat::DictVersions::version(current, counter) == version;
    }
};

// The change detection of one module, for the interpreter it lives in. Part
// of the module state; all-zero until attach() runs in the module's exec.
class DictChanges {
public:
    // Joins the package's change detection in this interpreter. When it has
    // none to give, nothing is ever found unchanged (every fast path checks
    // afresh). False with an exception only when the interpreter fails.
    bool attach() { return versions_.attach(); }

    // The current state of `dict`, which is watched from now on. Take it
    // before checking the dict and compare it again after (a check may run
    // code that changes the dict): see `checked`.
    DictStamp stamp(PyObject* dict) const {
        const compat::DictCounter* counter = versions_.watch(dict);
        if (counter == nullptr) return {};
        return {dict, compat::DictVersions::version(dict, counter), counter};
    }

    // The current state of `dict`, for which unchanged(dict, earlier) held
    // (so it is watched already, and alive since): as stamp(), without asking
    // to watch it again.
    DictStamp restamp(PyObject* dict, const DictStamp& earlier) const {
        NATIVE_ASSERT(earlier.dict == dict, "a stamp is renewed for its own dict");
        if (earlier.dict != dict || earlier.counter == nullptr) return stamp(dict);
        return {dict, compat::DictVersions::version(dict, earlier.counter), earlier.counter};
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
    compat::DictVersions versions_;
};

// Verdicts about classes, one bit of answer each, remembered under the
// class's version tag (compat::type_version): a change to the class or a
// base gives it a new tag, never reused. A verdict may be remembered so
// only when it depends on nothing but the class and its bases: no object
// found in a class dict whose own type could change it (native.hpp, rule
// 4). The slots are atomics that hold a tag each, so free-threaded builds
// share them too: a slot read while another thread writes it holds one tag
// or the other, and either is a true verdict about the class state it
// names.
class ClassVerdicts {
public:
    // The verdict remembered for the class state `tag`, if any.
    [[gnu::always_inline]] std::optional<bool> known(unsigned int tag) const {
        if (tag == 0) return std::nullopt;
        if (yes_[tag % kSlots].load(std::memory_order_relaxed) == tag) return true;
        if (no_[tag % kSlots].load(std::memory_order_relaxed) == tag) return false;
        return std::nullopt;
    }
    void note(bool verdict, unsigned int tag) {
        if (tag != 0) (verdict ? yes_ : no_)[tag % kSlots].store(tag, std::memory_order_relaxed);
    }
    void forget() {
        for (std::size_t i = 0; i < kSlots; ++i) {
            yes_[i].store(0, std::memory_order_relaxed);
            no_[i].store(0, std::memory_order_relaxed);
        }
    }

private:
    static constexpr std::size_t kSlots = 64;
    std::atomic<unsigned int> yes_[kSlots];
    std::atomic<unsigned int> no_[kSlots];
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
    NATIVE_ASSERT(before.dict == nullptr || before.dict == dict, "a stamp is checked against its own dict");
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
