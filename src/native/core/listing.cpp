#include "core/listing.hpp"

#include <algorithm>
#include <iterator>
#include <system_error>
#include <thread>

#include "core/arrival.hpp"

namespace qorva::core::fs {

namespace {

struct Read {
    int err = 0;
    EntryKind kind = EntryKind::other;
    FileStatus st;
};

void read_range(const Folder &dir, const std::vector<NativeString> &names, std::vector<Read> &out, std::size_t lo,
                std::size_t hi) {
    for (std::size_t i = lo; i < hi; ++i) {
        out[i].err = dir.entry(names[i], out[i].kind, out[i].st);
    }
}

// A backlog's candidates are re-read on every pass, one status query each, the bulk of such a pass
// where a query is a slow system call (about 5 us on a virtual machine); two threads halve it on a
// spare core, as the listing's own time reads do.
void read_all(const Folder &dir, const std::vector<NativeString> &names, std::vector<Read> &out) {
    constexpr std::size_t kSplitFrom = 512;
    const std::size_t n = names.size();
    if (n < kSplitFrom || std::thread::hardware_concurrency() < 2) {
        read_range(dir, names, out, 0, n);
        return;
    }
    std::thread helper;
    try {
        helper = std::thread([&] { read_range(dir, names, out, n / 2, n); });
    } catch (const std::system_error &) {
        read_range(dir, names, out, 0, n);  // no thread to spare: one is enough
        return;
    }
    read_range(dir, names, out, 0, n / 2);
    helper.join();
}

}  // namespace

Failure Listing::relist(const NativeString &path) {
    *this = Listing();
    auto dir = std::make_unique<Folder>(path);
    std::vector<DirEntry> listed;
    Failure f{dir->error() != 0 ? dir->error() : dir->list(listed), {}};
    if (f.err != 0) {
        return f;
    }
    dir_ = std::move(dir);
    for (const DirEntry &e : listed) {
        if (e.kind == EntryKind::regular) {
            FileStatus st;
            st.regular = true;
            put(e.name, e.kind, st);
        } else if (e.kind == EntryKind::probe) {
            EntryKind kind;
            FileStatus st;
            const int err = dir_->entry(e.name, kind, st);
            if (err != 0 && !is_absent_error(err)) {
                *this = Listing();
                return Failure{err, e.name};
            }
            if (err == 0) {
                put(e.name, kind, st);
            }
        }
    }
    return f;
}

Failure Listing::refresh(std::vector<NativeString> names) {
    // Events repeat names (a write is many); links and candidates are few next to them or distinct.
    std::unordered_set<NativeString> named(std::make_move_iterator(names.begin()),
                                           std::make_move_iterator(names.end()));
    std::vector<NativeString> todo(named.begin(), named.end());
    for (const NativeString &link : links_) {
        if (named.count(link) == 0) {
            todo.push_back(link);
        }
    }
    for (const auto &kv : order_) {
        if (named.count(kv.second) == 0 && links_.count(kv.second) == 0) {
            todo.push_back(kv.second);
        }
    }
    std::vector<Read> reads(todo.size());
    read_all(*dir_, todo, reads);
    for (std::size_t i = 0; i < todo.size(); ++i) {
        const Read &r = reads[i];
        if (r.err != 0 && !is_absent_error(r.err)) {
            return Failure{r.err, todo[i]};
        }
        if (r.err != 0) {
            erase(todo[i]);
        } else {
            put(todo[i], r.kind, r.st);
        }
    }
    return Failure{};
}

void Listing::put(const NativeString &name, EntryKind kind, const FileStatus &st) {
    if (kind == EntryKind::other) {
        erase(name);  // folders and devices are never candidates; an event tells if one becomes a file
        return;
    }
    auto [it, added] = entries_.try_emplace(name);
    Entry &e = it->second;
    e.link = kind == EntryKind::probe;
    if (e.link) {
        links_.insert(name);
    } else {
        links_.erase(name);
    }
    if (added || e.regular != st.regular) {
        unrank(e);
        e.regular = st.regular;
        if (e.regular) {
            pending_.push_back(name);
        }
    } else if (e.verdict == Verdict::in && e.mtime != st.mtime) {
        auto node = order_.extract(Key(e.mtime, e.key));
        node.key().first = st.mtime;
        order_.insert(std::move(node));
        e.mtime = st.mtime;
    }
}

void Listing::erase(const NativeString &name) {
    const auto it = entries_.find(name);
    if (it != entries_.end()) {
        unrank(it->second);
        entries_.erase(it);
        links_.erase(name);
    }
}

void Listing::unrank(Entry &e) {
    if (e.verdict == Verdict::in) {
        order_.erase(Key(e.mtime, e.key));
        e.key.clear();
    }
    e.verdict = Verdict::unjudged;
}

std::vector<NativeString> Listing::take_unjudged() {
    std::sort(pending_.begin(), pending_.end());
    pending_.erase(std::unique(pending_.begin(), pending_.end()), pending_.end());
    std::vector<NativeString> out;
    for (NativeString &name : pending_) {
        const auto it = entries_.find(name);
        if (it != entries_.end() && it->second.regular && it->second.verdict == Verdict::unjudged) {
            out.push_back(std::move(name));
        }
    }
    pending_.clear();
    return out;
}

void Listing::reject(const NativeString &name) {
    const auto it = entries_.find(name);
    if (it != entries_.end()) {
        unrank(it->second);
        it->second.verdict = Verdict::out;
    }
}

Failure Listing::admit(std::vector<Admission> batch, std::vector<Passing> &passing) {
    for (Admission &a : batch) {
        const auto it = entries_.find(a.name);
        if (it == entries_.end() || !it->second.regular) {
            continue;
        }
        Entry &e = it->second;
        FileStatus st;
        const int err = dir_->stat(a.name, st);
        if (err != 0 && !is_absent_error(err)) {
            return Failure{err, a.name};
        }
        if (err != 0 || !st.regular) {
            // Listed as a regular file, gone or something else now (a link whose target went, a file
            // replaced by a folder): in this pass's result as a listing has it, a candidate no more.
            passing.push_back(Passing{a.name, std::move(a.key), err == 0, st.mtime});
            if (err != 0 && !e.link) {
                erase(a.name);  // gone since it was read; its event follows
            } else {
                unrank(e);
                e.regular = false;  // judged again once it is a regular file
            }
            continue;
        }
        unrank(e);
        e.verdict = Verdict::in;
        e.mtime = st.mtime;
        e.key = a.key;
        order_.emplace(Key(e.mtime, std::move(a.key)), a.name);
    }
    return Failure{};
}

void Listing::forget_verdicts() {
    order_.clear();
    pending_.clear();
    for (auto &[name, e] : entries_) {
        e.verdict = Verdict::unjudged;
        e.key.clear();
        if (e.regular) {
            pending_.push_back(name);
        }
    }
}

std::vector<const NativeString *> Listing::candidates(const std::vector<Passing> &passing) const {
    std::vector<const NativeString *> out;
    out.reserve(order_.size() + passing.size());
    for (const auto &kv : order_) {
        out.push_back(&kv.second);
    }
    if (passing.empty()) {
        return out;  // order_ is the order
    }
    std::vector<arrival::Arrival> items;
    items.reserve(out.size() + passing.size());
    for (const auto &kv : order_) {
        items.push_back(arrival::Arrival{kv.first.second, kv.first.first, items.size()});
    }
    bool by_time = true;
    for (const Passing &p : passing) {
        items.push_back(arrival::Arrival{p.key, p.mtime, items.size()});
        out.push_back(&p.name);
        by_time = by_time && p.timed;
    }
    std::vector<const NativeString *> ordered;
    ordered.reserve(out.size());
    for (const std::size_t i : arrival::arrival_order(std::move(items), by_time)) {
        ordered.push_back(out[i]);
    }
    return ordered;
}

}  // namespace qorva::core::fs
