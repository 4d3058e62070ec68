// _scan: the candidate files of one pass, oldest arrival first.
// Mirrors tests/reference/camera.py: DropnestCamera._scan.
//
// Where the folder's changes are notified, notified.cpp answers from the listing it keeps; this is
// the full listing, on every pass where they are not (network shares, `notify` off). It runs over
// folders of thousands of kept files, so the listing, the type test and the common suffix test run
// natively with the GIL released; Python objects are made only for entries that pass them.
#include <optional>
#include <system_error>
#include <thread>

#include "core/arrival.hpp"
#include "core/folder.hpp"
#include "dropnest/camera_class.hpp"
#include "dropnest/members.hpp"
#include "dropnest/scan_parts.hpp"

namespace qorva::dropnest {

namespace {

namespace fs = core::fs;
namespace arrival = core::arrival;
using namespace scanning;

struct Kept {
    NativeString name;
    bool host_suffix;  // the suffix is not ASCII (or the set is not plain): the host must test it
};

struct Listing {
    int err = 0;
    NativeString err_name;  // empty: the folder itself failed
    std::vector<Kept> kept;
};

// Type test, then suffix test, as the listing reports the entries. No Python here.
Listing list_kept(fs::Folder &dir, const Suffixes &sx) {
    Listing out;
    std::vector<fs::DirEntry> entries;
    out.err = dir.error() != 0 ? dir.error() : dir.list(entries);
    if (out.err != 0) {
        return out;
    }
    for (fs::DirEntry &e : entries) {
        if (e.kind == fs::EntryKind::other) {
            continue;
        }
        if (e.kind == fs::EntryKind::probe) {
            fs::FileStatus st;
            const int err = dir.stat(e.name, st);
            if (err != 0 && !fs::is_absent_error(err)) {
                out.err = err;
                out.err_name = e.name;
                return out;
            }
            if (err != 0 || !st.regular) {
                continue;
            }
        }
        bool in = false;
        if (!native_verdict(sx, e.name, in)) {
            out.kept.push_back(Kept{std::move(e.name), true});
        } else if (in) {
            out.kept.push_back(Kept{std::move(e.name), false});
        }
    }
    return out;
}

using Candidate = NativeString;  // the entry's name

std::vector<Candidate> unseen(const Where &w, std::vector<Kept> &kept, const Suffixes &sx, py::handle seen) {
    std::vector<Candidate> out;
    NativeString buf = w.native;
    for (Kept &k : kept) {
        if (k.host_suffix && !host_accepts(k.name, sx.set)) {
            continue;
        }
        if (!interop::contains(seen, text_of(w, k.name, buf))) {
            out.push_back(std::move(k.name));
        }
    }
    return out;
}

// Modification times of cands[lo, hi); false as soon as one cannot be read.
bool read_mtimes_range(const fs::Folder &dir, const std::vector<Candidate> &cands, std::vector<arrival::Arrival> &items,
                       std::size_t lo, std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
        fs::FileStatus st;
        if (dir.stat(cands[i], st) != 0) {
            return false;
        }
        items[i].mtime = st.mtime;
    }
    return true;
}

// A backlog costs one status query per file, the bulk of the scan where a query is a slow
// system call (virtual machines, network shares); two threads halve it on a spare core.
bool read_mtimes(const fs::Folder &dir, const std::vector<Candidate> &cands, std::vector<arrival::Arrival> &items) {
    constexpr std::size_t kSplitFrom = 512;
    const std::size_t n = cands.size();
    if (n < kSplitFrom || std::thread::hardware_concurrency() < 2) {
        return read_mtimes_range(dir, cands, items, 0, n);
    }
    bool upper = true;
    std::thread helper;
    try {
        helper = std::thread([&] { upper = read_mtimes_range(dir, cands, items, n / 2, n); });
    } catch (const std::system_error &) {
        return read_mtimes_range(dir, cands, items, 0, n);  // no thread to spare: one is enough
    }
    const bool lower = read_mtimes_range(dir, cands, items, 0, n / 2);
    helper.join();
    return lower && upper;
}

// Arrival order; a status that cannot be read (the file moved away after the listing)
// drops the time key for the whole list, never a file.
py::list in_arrival_order(const Where &w, const fs::Folder &dir, std::vector<Candidate> &cands) {
    std::vector<arrival::Arrival> items(cands.size());
    std::vector<py::str> names;
    names.reserve(cands.size());
    for (std::size_t i = 0; i < cands.size(); ++i) {
        names.push_back(from_native(cands[i]));
        items[i].name = code_points(names.back());
        items[i].index = i;
    }
    std::vector<std::size_t> order;
    {
        py::gil_scoped_release unlocked;
        const bool by_time = read_mtimes(dir, cands, items);
        order = arrival::arrival_order(std::move(items), by_time);
    }
    py::object child = child_maker(w.folder);
    py::list out(cands.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
        out[k] = child.is_none() ? w.folder / names[order[k]] : child(names[order[k]]);
    }
    return out;
}

}  // namespace

py::list scan(py::object self) {
    py::object folder = self.attr("_folder");
    if (folder.is_none()) {
        interop::throw_assertion();
    }
    const Suffixes sx = suffixes_of(self.attr("_extensions"));
    py::str listed_text = path_text(folder);
    if (interop::truth(param(self, "notify"))) {
        if (std::optional<py::list> answered = notified_scan(self, folder, listed_text, sx)) {
            return *answered;
        }
    } else {
        forget_watch(self);
    }
    self.attr("_notified") = py::bool_(false);
    const NativeString listed = native_text(listed_text);
    std::optional<fs::Folder> dir;
    Listing listing;
    {
        py::gil_scoped_release unlocked;
        dir.emplace(listed);
        listing = list_kept(*dir, sx);
    }
    if (listing.err == 0) {
        note_listed(self, folder);
    }
    if (listing.err == 0 && listing.kept.empty()) {
        return py::list();  // the idle case: no Python object made beyond that check
    }
    const Where w = where_of(folder);
    if (listing.err != 0) {
        NativeString buf = w.native;
        py::object filename =
            listing.err_name.empty() ? py::object(listed_text) : py::object(text_of(w, listing.err_name, buf));
        warn_unlistable(self, listing.err, filename);
        return py::list();
    }
    std::vector<Candidate> cands = unseen(w, listing.kept, sx, self.attr("_seen"));
    return in_arrival_order(w, *dir, cands);
}

}  // namespace qorva::dropnest
