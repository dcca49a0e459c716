// The guard of a native fast path: the names it stands in for, declared once.
// Start-up checks that each is bound and records what it resolves to; the
// guard checks, at the call, that each still resolves to that object (and,
// for a class, that the class itself has not been changed since).
#pragma once
#include "ref.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace qel {

class FastPath {
public:
    static constexpr size_t kMaxNames = 16;

    /// `what` names the path in start-up errors. Each name is as a body looks
    /// it up: a module-level name or builtin ("translate", "range"), or an
    /// attribute of one ("_cv.warpAffine"). A path enlists itself for start-up
    /// when it is made, so define it at namespace scope.
    template <size_t N>
    FastPath(const char* what, const char* const (&names)[N]) : what_(what), count_(N) {
        static_assert(N <= kMaxNames, "raise FastPath::kMaxNames");
        for (size_t i = 0; i < N; ++i) {
            entries_[i].spelled = names[i];
        }
        enlist(this);
    }
    FastPath(const FastPath&) = delete;
    FastPath& operator=(const FastPath&) = delete;

    /// Whether every name still resolves to the object start-up recorded (for
    /// `alias.name`, the alias too), and every class among them still has the
    /// attributes it had then: the guard before the native path is taken.
    /// False until start-up has finished.
    bool unchanged();

    /// What the i-th name resolved to at start-up (borrowed), NULL before.
    PyObject* original(size_t i) const { return entries_[i].original; }

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

    friend void check_fast_paths(const std::vector<const char*>& bound);
    friend void record_fast_paths();
    friend void forget_fast_paths();
};

/// Start-up, before anything is bound: every name a fast path stands in for
/// must be bound by the namespace table (`bound`) or be a builtin; else
/// ImportError naming the path and the name.
void check_fast_paths(const std::vector<const char*>& bound);

/// Start-up, once the namespace is complete: record what every name resolves to.
void record_fast_paths();

/// Drop what start-up recorded (a failed start-up leaves nothing behind).
void forget_fast_paths();

}  // namespace qel
