// _scan from the folder's change notification: the listing is kept between passes (core/listing.hpp)
// and only what changed is read again, so an idle pass reads nothing of the folder and a pass after one
// arrival reads one entry, whatever the folder holds. The result is the listing's, filtered and ordered
// by the same Python operations as scan.cpp; it is the listing path that answers whenever this one is
// unsure (no notification, a network file system, lost events, a failed read).
#include <chrono>
#include <cstdint>
#include <utility>

#include "core/listing.hpp"
#include "dropnest/scan_parts.hpp"

namespace qorva::dropnest::scanning {

namespace {

namespace fs = core::fs;
using Clock = std::chrono::steady_clock;

// Events are trusted for the names that come and go and change type; everything else that shows in the
// result (the times of candidates, what links lead to) is read again on every pass. The file systems
// that break that trust without saying so (a user-space one reporting a local type, the lower layer of
// an overlay changed underneath) cannot all be told apart, so a full listing once a minute bounds how
// long such a change goes unseen, for 0.03% of a core at 20,000 files.
constexpr std::chrono::seconds kRelistEvery{60};
// Where changes are not notified (a network share), whether they now are is asked this often; the
// question costs a round trip to the server on Windows.
constexpr std::chrono::seconds kRemoteRetry{60};
constexpr const char *kCapsule = "qorva.dropnest.watch";

std::uint64_t mix(Py_hash_t h) {  // splitmix64's finaliser: a sum of mixed hashes tells sets apart
    std::uint64_t z = static_cast<std::uint64_t>(h) + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// A print of `_seen`: the set itself, its size and the sum of its items' mixed hashes. A plain set keeps
// each item's hash in its table, so this is a walk of memory: 0.2 ms at 20,000 items, whose table is
// 2 MB. It is the bulk of an idle pass, and what lets a pass trust the verdicts taken against `_seen`
// earlier: Python sets keep no version, and a discard followed by an add leaves the size unchanged.
struct SeenPrint {
    py::object set;  // null: unknown, or a host container that cannot be printed
    Py_ssize_t len = 0;
    std::uint64_t sum = 0;
};

SeenPrint print_of(py::handle seen) {
    if (!PyAnySet_CheckExact(seen.ptr())) {
        return SeenPrint{};
    }
    SeenPrint p{py::reinterpret_borrow<py::object>(seen), PySet_GET_SIZE(seen.ptr()), 0};
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_LIMITED_API) && !defined(PYPY_VERSION) && !defined(Py_GIL_DISABLED)
    // The table itself, as set iteration walks it: a slot is empty (no key) or a removed one (hash -1,
    // which no live key has); 1.5x as fast as _PySet_NextEntry, a call per slot.
    const auto *so = reinterpret_cast<const PySetObject *>(seen.ptr());
    for (Py_ssize_t i = 0; i <= so->mask; ++i) {
        const setentry &e = so->table[i];
        if (e.key != nullptr && e.hash != -1) {
            p.sum += mix(e.hash);
        }
    }
#else
    for (py::handle item : seen) {
        p.sum += mix(py::hash(item));
    }
#endif
    return p;
}

struct State {
    NativeString path;
    std::unique_ptr<fs::Watch> watch;
    Clock::time_point retry_at{};
    fs::Listing listing;
    Clock::time_point listed_at{};
    bool exts_known = false;
    std::unordered_set<std::string> exts;
    SeenPrint seen;
    std::vector<std::pair<NativeString, py::object>> returned;  // the last result: name, path text
};

State &state_of(py::handle self, const NativeString &path, py::object &holder) {
    holder = py::getattr(self, "_watch", py::none());
    if (PyCapsule_IsValid(holder.ptr(), kCapsule)) {
        auto *s = static_cast<State *>(PyCapsule_GetPointer(holder.ptr(), kCapsule));
        if (s->path == path) {
            return *s;
        }
    }
    auto owned = std::make_unique<State>();
    owned->path = path;
    holder = py::capsule(owned.get(), kCapsule, [](PyObject *cap) {
        delete static_cast<State *>(PyCapsule_GetPointer(cap, kCapsule));
    });
    State &s = *owned.release();
    self.attr("_watch") = holder;
    return s;
}

// Brings the kept listing up to date, with the GIL released; false when changes are not notified here.
bool catch_up(State &s, bool &relisted, fs::Failure &failure) {
    const Clock::time_point now = Clock::now();
    fs::Changes changes;
    if (s.watch && s.watch->state() == fs::WatchState::watching) {
        s.watch->read(changes);
        changes.broken = changes.broken || !s.watch->names_it(s.path);
    }
    if (!s.watch || changes.broken || (s.watch->state() != fs::WatchState::watching && now >= s.retry_at)) {
        // The watch comes first: a change made while the folder is being listed is then reported too.
        s.watch = std::make_unique<fs::Watch>(s.path);
        s.retry_at = now + (s.watch->state() == fs::WatchState::remote ? kRemoteRetry : std::chrono::seconds(0));
        s.listing = fs::Listing();
        changes = fs::Changes{};
    }
    if (s.watch->state() != fs::WatchState::watching) {
        return false;
    }
    relisted = changes.relist || !s.listing.listed() || now - s.listed_at >= kRelistEvery;
    if (!relisted) {
        failure = s.listing.refresh(std::move(changes.names));
        relisted = failure.err != 0;  // a read that failed: whatever it was, a listing tells
    }
    if (relisted) {
        failure = s.listing.relist(s.path);
        s.listed_at = now;
    }
    return true;
}

// Files that the last result held and `_seen` now holds leave the candidates; then the print of `_seen`
// must be the last one plus exactly those, or verdicts taken against the old `_seen` are forgotten
// (something left it, or something else joined it). The last result is then spent: counted again by
// the idle pass that follows a consumed one, its files would make the print disagree and every file
// of the folder be judged again at the next arrival (40-70 ms at 20,000 kept files, 10 times a second).
void follow_seen(State &s, py::handle seen) {
    Py_ssize_t joined = 0;
    std::uint64_t joined_sum = 0;
    for (const auto &[name, text] : s.returned) {
        if (interop::contains(seen, text)) {
            s.listing.reject(name);
            ++joined;
            joined_sum += mix(py::hash(text));
        }
    }
    SeenPrint now = print_of(seen);
    const bool kept = now.set && now.set.is(s.seen.set) && now.len == s.seen.len + joined &&
                      now.sum == s.seen.sum + joined_sum;
    if (!kept) {
        s.listing.forget_verdicts();
    }
    s.seen = std::move(now);
    s.returned.clear();
}

void follow_suffixes(State &s, const Suffixes &sx) {
    if (!sx.native || !s.exts_known || sx.items != s.exts) {
        s.listing.forget_verdicts();  // a host container is asked again on every pass
    }
    s.exts_known = sx.native;
    s.exts = sx.items;
}

// Judges the files without a verdict, as the listing path does: suffix, then `_seen`.
fs::Failure judge(State &s, const Where &w, const Suffixes &sx, py::handle seen,
                  std::vector<fs::Listing::Passing> &passing) {
    std::vector<fs::Listing::Admission> in;
    NativeString buf = w.native;
    for (NativeString &name : s.listing.take_unjudged()) {
        if (!accepted(sx, name) || interop::contains(seen, text_of(w, name, buf))) {
            s.listing.reject(name);
        } else {
            std::u32string key = code_points(from_native(name));
            in.push_back(fs::Listing::Admission{std::move(name), std::move(key)});
        }
    }
    py::gil_scoped_release unlocked;
    return s.listing.admit(std::move(in), passing);
}

py::list result(State &s, const Where &w, const std::vector<fs::Listing::Passing> &passing) {
    const std::vector<const NativeString *> names = s.listing.candidates(passing);
    py::object child = child_maker(w.folder);
    py::list out(names.size());
    NativeString buf = w.native;
    s.returned.clear();
    for (std::size_t k = 0; k < names.size(); ++k) {
        py::str name = from_native(*names[k]);
        out[k] = child.is_none() ? w.folder / name : child(name);
        s.returned.emplace_back(*names[k], text_of(w, *names[k], buf));
    }
    return out;
}

std::optional<py::list> answer(py::handle self, State &s, const py::object &folder, const py::str &listed_text,
                               const Suffixes &sx) {
    bool relisted = false;
    fs::Failure failure;
    bool watching = false;
    {
        py::gil_scoped_release unlocked;
        watching = catch_up(s, relisted, failure);
    }
    if (!watching) {
        return std::nullopt;
    }
    self.attr("_notified") = py::bool_(!relisted);
    if (failure.err != 0) {
        const Where w = where_of(folder);
        NativeString buf = w.native;
        py::object filename =
            failure.name.empty() ? py::object(listed_text) : py::object(text_of(w, failure.name, buf));
        warn_unlistable(self, failure.err, filename);
        return py::list();
    }
    note_listed(self, folder);
    py::object seen = self.attr("_seen");
    follow_suffixes(s, sx);
    follow_seen(s, seen);
    if (s.listing.idle()) {
        return py::list();  // nothing changed and nothing waits: no Python object made
    }
    const Where w = where_of(folder);
    // Files that went (or changed type) between their listing and the read of their time are in the
    // result as in a listing's; one whose time could not be read orders this pass by name.
    std::vector<fs::Listing::Passing> passing;
    if (judge(s, w, sx, seen, passing).err != 0) {
        s.listing = fs::Listing();  // a time that cannot be read, and not for absence: list again
        return std::nullopt;
    }
    return result(s, w, passing);
}

}  // namespace

std::optional<py::list> notified_scan(py::handle self, const py::object &folder, const py::str &listed_text,
                                      const Suffixes &sx) {
    py::object holder;  // keeps the state alive while the GIL is released, whatever happens to `_watch`
    State &s = state_of(self, native_text(listed_text), holder);
    try {
        return answer(self, s, folder, listed_text, sx);
    } catch (...) {
        s.listing = fs::Listing();  // verdicts half taken: list again next time
        s.returned.clear();
        throw;
    }
}

void forget_watch(py::handle self) {
    if (!py::getattr(self, "_watch", py::none()).is_none()) {
        self.attr("_watch") = py::none();
    }
}

}  // namespace qorva::dropnest::scanning
