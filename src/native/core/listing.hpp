// A folder's listing kept between passes and brought up to date from change notifications, with the
// files the caller admitted kept in arrival order: a pass then costs what changed, not the folder's size.
// Plain C++; the caller judges each file (suffix, already seen) and supplies its name's code points.
#pragma once

#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/folder.hpp"

namespace qorva::core::fs {

struct Failure {
    int err = 0;        // 0, or the OS error code of the listing or of a status query
    NativeString name;  // the entry whose query failed; empty when the folder itself failed
};

class Listing {
public:
    struct Admission {
        NativeString name;
        std::u32string key;  // the name's code points, so ties break as str comparison does
    };

    // Lists the folder anew and keeps it open for later reads; every regular file is then unjudged.
    // On failure the listing is empty and must be listed again.
    Failure relist(const NativeString &path);
    bool listed() const { return dir_ != nullptr; }
    // Reads the named entries again, and those whose changes may raise no event here: links (their
    // targets change elsewhere) and the candidates (a file's other name, a write through a memory map).
    // An entry whose type changed loses its verdict; a candidate whose time changed moves.
    Failure refresh(std::vector<NativeString> names);

    // The regular files without a verdict, each once.
    std::vector<NativeString> take_unjudged();
    // Not a candidate (wrong suffix, already seen) until it changes or the verdicts are forgotten.
    void reject(const NativeString &name);
    // An entry of this pass's result that is no longer a candidate: gone, or no longer a regular file,
    // since the listing showed it. A listing of the folder shows such a file too, with the time read
    // after the change, or with none (the file is gone), which orders the whole result by name.
    struct Passing {
        NativeString name;
        std::u32string key;
        bool timed = false;
        double mtime = 0.0;
    };
    // Candidates, their modification times read now. One that went or changed type since it was
    // listed goes to `passing` instead, and is judged again once it shows as a regular file.
    Failure admit(std::vector<Admission> batch, std::vector<Passing> &passing);
    // The filter changed: every regular file is unjudged again.
    void forget_verdicts();
    // No file waits for a verdict and none is a candidate.
    bool idle() const { return pending_.empty() && order_.empty(); }
    // The candidates and `passing` by (modification time, name); by name alone when one of `passing`
    // has no time, as a listing's order falls back when a time cannot be read.
    std::vector<const NativeString *> candidates(const std::vector<Passing> &passing = {}) const;

private:
    enum class Verdict : unsigned char { unjudged, out, in };
    // A verdict depends on the name and on being a regular file, so only a change of type takes it;
    // the time matters only while the file is a candidate, and is read for it on every pass.
    struct Entry {
        bool regular = false;
        bool link = false;
        double mtime = 0.0;  // while a candidate
        Verdict verdict = Verdict::unjudged;
        std::u32string key;  // while a candidate
    };
    using Key = std::pair<double, std::u32string>;

    void put(const NativeString &name, EntryKind kind, const FileStatus &st);
    void erase(const NativeString &name);
    void unrank(Entry &e);

    std::unique_ptr<Folder> dir_;
    std::unordered_map<NativeString, Entry> entries_;
    std::map<Key, NativeString> order_;          // the candidates
    std::vector<NativeString> pending_;          // names that may be unjudged
    std::unordered_set<NativeString> links_;
};

}  // namespace qorva::core::fs
