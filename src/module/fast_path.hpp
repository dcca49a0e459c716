// The guard of a native fast path: the names it stands in for, declared once.
// What a fast path promises, every rule its guards follow and the checklist
// for adding one: docs/fast-paths.md.
//
// Start-up checks that each name is bound and records what it resolves to; the
// guard checks, at the call, that each still resolves to that object (and,
// for a class, that the class itself has not been changed since).
#pragma once
#include "ref.hpp"

#include <array>
#include <cstddef>
#include <initializer_list>
#include <vector>

namespace qel {

class FastPath;

/// What the test variant of the module watches (src/module/test_hooks.cpp).
/// The module that is installed sets none, so each hook below costs it one
/// test of a null pointer. Called with the GIL held.
class Watcher {
public:
    /// A generic region of `path` begins (see GenericRegion).
    virtual void entered(FastPath& path, bool applies) = 0;
    virtual void left() = 0;
    /// A body looked up a module-level name (`attribute` NULL) or `alias.attribute`.
    virtual void looked_up(PyObject* name, PyObject* attribute) = 0;
    /// `path` was taken; `instead_of`, if set, is the path whose generic
    /// region it skipped (when not its own).
    virtual void taken(const FastPath& path, const FastPath* instead_of) = 0;
    /// Between the two passes of a comparison.
    virtual void between_passes() = 0;

protected:
    ~Watcher() = default;
};

extern Watcher* g_watcher;

class FastPath {
public:
    static constexpr size_t kMaxNames = 16;

    /// `what` names the path in start-up errors and in the test variant's
    /// reports. Each name is as a body looks it up: a module-level name or
    /// builtin ("translate", "range"), or an attribute of one
    /// ("_cv.warpAffine"). `included` are paths whose generic regions this
    /// one also stands in for: their names are guarded too. A path enlists
    /// itself for start-up when it is made, so define it at namespace scope.
    template <size_t N>
    FastPath(const char* what, const char* const (&names)[N], std::initializer_list<FastPath*> included = {})
        : what_(what), count_(N), included_(included) {
        static_assert(N <= kMaxNames, "raise FastPath::kMaxNames");
        for (size_t i = 0; i < N; ++i) {
            entries_[i].spelled = names[i];
        }
        enlist(this);
    }
    FastPath(const FastPath&) = delete;
    FastPath& operator=(const FastPath&) = delete;

    /// Whether every name still resolves to the object start-up recorded (for
    /// `alias.name`, the alias too), every class among them still has the
    /// attributes it had then, and every included path is unchanged: the
    /// guard before the native path is taken. False until start-up has
    /// finished.
    bool unchanged();

    /// The position of `spelled` among this path's own names, for
    /// `original`. Asked once, at namespace scope: a name the path does not
    /// guard fails start-up naming both, so dropping a name from the list
    /// cannot leave a use of it behind.
    size_t index(const char* spelled);

    /// What the i-th name resolved to at start-up (borrowed), NULL before.
    PyObject* original(size_t i) const { return entries_[i].original; }

    /// Say that the native path runs now (in place of the generic region of
    /// `instead_of` when that is another path's): the test variant counts it
    /// and checks that this guard covers what it stands in for.
    void taken(const FastPath* instead_of = nullptr) const {
        if (g_watcher != nullptr) {
            g_watcher->taken(*this, instead_of);
        }
    }

    const char* what() const { return what_; }
    /// Whether this guard covers the lookup of `name` (or `name.attribute`):
    /// one of its own names or of an included path's.
    bool covers(PyObject* name, PyObject* attribute) const;
    /// Every name it covers, spelled, its own first.
    void covered_names(std::vector<const char*>& out) const;

    static const std::vector<FastPath*>& every();

private:
    struct Entry {
        const char* spelled = nullptr;
        PyObject* scope = nullptr;           // the interned module-level name
        PyObject* attribute = nullptr;       // the interned attribute name, or NULL
        PyObject* scope_original = nullptr;  // owned, for attributes
        PyObject* original = nullptr;        // owned
        bool is_class = false;
        unsigned int version = 0;            // of a class: its version tag when last seen unchanged, 0 if none
        PyObject* members = nullptr;         // of a class: its own attributes at start-up (owned)
    };

    static void enlist(FastPath* path);
    static bool class_unchanged(Entry& e);
    static std::vector<FastPath*>& all();

    const char* what_;
    size_t count_;
    std::array<Entry, kMaxNames> entries_;
    std::vector<FastPath*> included_;

    friend void check_fast_paths(const std::vector<const char*>& bound);
    friend void record_fast_paths();
    friend void forget_fast_paths();
};

/// The generic code a fast path stands in for, from where its guard is first
/// asked to where the code it replaces ends. The test variant records every
/// late-bound name looked up inside while `applies` and the guard held on
/// entry (the only case in which the fast path could have been taken), and
/// every fast path taken inside; the tests fail on any its guard does not
/// cover. `applies` is false where the path needs more than its names (a
/// judge of the module's own, say), and code the caller supplied may run.
class GenericRegion {
public:
    explicit GenericRegion(FastPath& path, bool applies = true) : watched_(g_watcher != nullptr) {
        if (watched_) {
            g_watcher->entered(path, applies);
        }
    }
    ~GenericRegion() {
        if (watched_) {
            g_watcher->left();
        }
    }
    GenericRegion(const GenericRegion&) = delete;
    GenericRegion& operator=(const GenericRegion&) = delete;

private:
    bool watched_;
};

/// Start-up, before anything is bound: every name a fast path stands in for
/// must be bound by the namespace table (`bound`) or be a builtin, and every
/// name asked for with `index` must be guarded; else ImportError naming the
/// path and the name.
void check_fast_paths(const std::vector<const char*>& bound);

/// Start-up, once the namespace is complete: record what every name resolves to.
void record_fast_paths();

/// Drop what start-up recorded (a failed start-up leaves nothing behind).
void forget_fast_paths();

}  // namespace qel
