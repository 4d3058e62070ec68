// The Python-free core over tables of cases: suffixes, arrival order, settledness, collision names,
// the poll interval, threshold calibration, the folder listing and image headers. Plain asserts, no framework; the
// last line is "core: N passed, N failed" and the exit code is 1 when a case failed.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/arrival.hpp"
#include "core/calibration.hpp"
#include "core/folder.hpp"
#include "core/image_header.hpp"
#include "core/listing.hpp"

namespace {

namespace arrival = qorva::core::arrival;
namespace fs = qorva::core::fs;
namespace stdfs = std::filesystem;

int g_passed = 0;
int g_failed = 0;

void check(bool ok, const char *expr, const std::string &where, int line) {
    if (ok) {
        ++g_passed;
        return;
    }
    ++g_failed;
    std::fprintf(stderr, "FAIL test_core.cpp:%d: %s [%s]\n", line, expr, where.c_str());
}
#define CHECK(cond, where) check((cond), #cond, (where), __LINE__)

std::string bits(double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%a", v);
    return buf;
}

void suffixes() {
    struct Row {
        const char *name;
        std::optional<std::string> lowered;  // nullopt: not ASCII, the host lowers it
    };
    const Row rows[] = {
        {"IMG_01.JPG", ".jpg"}, {"a.tar.gz", ".gz"}, {"b.TIFF", ".tiff"}, {".png", ""},
        {"ends.", ""},          {"plain", ""},       {"a.png.done", ".done"},
        {"a.\xc3\x89MG", std::nullopt},  // a.ÉMG as UTF-8 bytes
        {"\xc3\xa4.png", ".png"},        // ä.png: only the suffix must be ASCII
    };
    for (const Row &r : rows) {
        CHECK(arrival::ascii_lower_suffix(std::string_view(r.name)) == r.lowered, r.name);
    }
    // Wide names, as the Windows listing gives them.
    CHECK(arrival::ascii_lower_suffix(std::wstring_view(L"IMG.PNG")) == std::optional<std::string>(".png"), "wide");
    CHECK(arrival::ascii_lower_suffix(std::wstring_view(L"x.\u00c9MG")) == std::nullopt, "wide non-ASCII");
    CHECK(arrival::suffix_start(std::string_view(".png")) == std::string_view::npos, "dot first");
}

std::vector<std::string> ordered(const std::vector<std::pair<std::u32string, double>> &files, bool by_time,
                                 const std::vector<std::string> &labels) {
    std::vector<arrival::Arrival> items;
    for (std::size_t i = 0; i < files.size(); ++i) {
        items.push_back(arrival::Arrival{files[i].first, files[i].second, i});
    }
    std::vector<std::string> out;
    for (std::size_t i : arrival::arrival_order(items, by_time)) {
        out.push_back(labels[i]);
    }
    return out;
}

void arrival_order() {
    struct Row {
        const char *what;
        std::vector<std::pair<std::u32string, double>> files;
        std::vector<std::string> labels;
        bool by_time;
        std::vector<std::string> expected;
    };
    const Row rows[] = {
        {"mtime first", {{U"new", 300.0}, {U"old_copy", 100.0}, {U"b", 200.0}}, {"new", "old", "b"}, true,
         {"old", "b", "new"}},
        {"ties by name", {{U"b", 5.0}, {U"a", 5.0}, {U"B", 5.0}}, {"b", "a", "B"}, true, {"B", "a", "b"}},
        {"code points, not UTF-16 units",
         {{U"\U0001f600", 1.0}, {U"\ue000", 1.0}, {U"\u00e4", 1.0}},
         {"emoji", "private", "a-umlaut"}, true, {"a-umlaut", "private", "emoji"}},
        {"microsecond apart", {{U"late", 200.000001}, {U"early", 200.0}}, {"late", "early"}, true, {"early", "late"}},
        {"fallback ignores mtimes", {{U"b", 1.0}, {U"a", 9.0}, {U"c", 0.0}}, {"b", "a", "c"}, false, {"a", "b", "c"}},
        {"empty", {}, {}, true, {}},
    };
    for (const Row &r : rows) {
        CHECK(ordered(r.files, r.by_time, r.labels) == r.expected, r.what);
    }
}

void small_rules() {
    struct Settled {
        double first_seen, now, stable_s;
        bool expected;
    };
    const Settled settled_rows[] = {
        {100.0, 100.5, 0.5, true},   {100.0, 100.25, 0.5, false}, {100.0, 100.0, 0.0, true},
        {100.0, 99.0, 0.3, false},   // clock set back
        {100.0, 100.0, -1.0, true},  // a negative stable time is already over
    };
    for (const Settled &r : settled_rows) {
        CHECK(arrival::settled(r.first_seen, r.now, r.stable_s) == r.expected, "settled " + bits(r.now));
    }
    CHECK(arrival::stamp_tail("1733580000123", 0) == "_1733580000123", "first stamp");
    CHECK(arrival::stamp_tail("1733580000123", 2) == "_1733580000123_2", "second collision");
    struct Poll {
        double poll_ms, seconds;
    };
    const Poll poll_rows[] = {{100, 0.1}, {250, 0.25}, {10, 0.01}, {5, 0.01}, {0, 0.01}, {-40, 0.01}};
    for (const Poll &r : poll_rows) {
        CHECK(arrival::poll_interval(r.poll_ms) == r.seconds, "poll " + bits(r.poll_ms));
    }
}

void calibration() {
    // Figures from NumPy (mean, std, max of the float64 array; threshold = mean + std * sigma) to the
    // last bit. The last row is one where a fused multiply-add would round differently.
    struct Row {
        const char *what;
        std::vector<double> scores;
        double sigma, mean, raw_std, max, threshold;
        std::size_t n_bad;
        double sigma_for_zero_fp;  // NAN: absent
    };
    const Row rows[] = {
        {"identical", {0x1.3333333333333p-2, 0x1.3333333333333p-2, 0x1.3333333333333p-2}, 2.0,
         0x1.3333333333333p-2, 0.0, 0x1.3333333333333p-2, 0x1.2666666666666p+1, 0, 0.0},
        {"one above",
         {0x1.999999999999ap-3, 0x1.0000000000000p-1, 0x1.ccccccccccccdp-1, 0x1.3d70a3d70a3d7p-2}, 1.5,
         0x1.e8f5c28f5c290p-2, 0x1.10e3a792bf070p-2, 0x1.ccccccccccccdp-1, 0x1.c1259ef5bd59cp-1, 1,
         0x1.95dd18c5135ecp+0},
        {"equal to threshold is not counted", {0.0, 2.0}, 1.0, 1.0, 1.0, 2.0, 2.0, 0, 1.0},
        {"single score", {0x1.ae147ae147ae1p-2}, 2.0, 0x1.ae147ae147ae1p-2, 0.0, 0x1.ae147ae147ae1p-2,
         0x1.35c28f5c28f5cp+1, 0, NAN},
        {"std exactly at the floor", {0.0, 0x1.12e0be826d695p-29}, 2.0, 0x1.12e0be826d695p-30,
         0x1.12e0be826d695p-30, 0x1.12e0be826d695p-29, 0x1.0000000225c18p+1, 0, 0x1.12e0be826d695p-30},
        {"large offset", {0x1.e848033333333p+19, 0x1.e848066666666p+19, 0x1.e848166666666p+19}, 2.0,
         0x1.e8480aaaaaaabp+19, 0x1.0cc42173866cap-2, 0x1.e848166666666p+19, 0x1.e8481b76ecc1fp+19, 0,
         0x1.65a1e22f59ddap+0},
        {"no fused multiply-add",
         {0x1.218ab519078fcp-2, 0x1.243eea404390dp+0, 0x1.52a5f35d847c6p-1, 0x1.0cc60333957f3p-2,
          0x1.84487f5e2eb8dp-1, 0x1.b5f185c368d8bp-2, 0x1.422a702a5d69ap-1},
         0x1.0d18d1b7313a0p+1, 0x1.3087fa0fccf52p-1, 0x1.23759c9edd3c7p-2, 0x1.243eea404390dp+0,
         0x1.317368b680274p+0, 0, 0x1.ebccc48ab186cp+0},
    };
    for (const Row &r : rows) {
        const auto c = qorva::core::calibrate(r.mean, r.raw_std, r.max, r.sigma, r.scores.data(), r.scores.size(),
                                              r.scores.size());
        CHECK(bits(c.threshold) == bits(r.threshold), std::string(r.what) + ": " + bits(c.threshold));
        CHECK(c.n_bad == r.n_bad, r.what);
        CHECK(c.fp_rate == static_cast<double>(r.n_bad) / static_cast<double>(r.scores.size()), r.what);
        CHECK(std::isnan(r.sigma_for_zero_fp) ? !c.sigma_for_zero_fp
                                              : c.sigma_for_zero_fp && bits(*c.sigma_for_zero_fp) ==
                                                                           bits(r.sigma_for_zero_fp),
              r.what);
    }
}

fs::NativeString native_name(const stdfs::path &p) { return p.filename().native(); }

void folder_listing() {
    const stdfs::path root = stdfs::temp_directory_path() / ("qorva_core_" + std::to_string(std::time(nullptr)));
    stdfs::remove_all(root);
    stdfs::create_directories(root / "sub.png");
    std::ofstream(root / "old.png") << "x";
    std::ofstream(root / "new.png") << "xy";
    const auto now = stdfs::file_time_type::clock::now();
    stdfs::last_write_time(root / "old.png", now - std::chrono::seconds(100));
#ifndef _WIN32
    stdfs::create_symlink(root / "new.png", root / "link.png");
    stdfs::create_symlink(root / "gone.png", root / "dangling.png");
#endif
    fs::Folder dir(root.native());
    std::vector<fs::DirEntry> entries;
    const int err = dir.error() != 0 ? dir.error() : dir.list(entries);
    CHECK(err == 0, "listing a folder");
    std::vector<std::string> regular;
    for (const fs::DirEntry &e : entries) {
        fs::FileStatus st;
        const int serr = dir.stat(e.name, st);
        const bool is_regular = serr == 0 && st.regular;
        if (e.kind == fs::EntryKind::other) {
            CHECK(!is_regular, "an entry listed as other is no regular file");
            continue;
        }
        if (e.kind == fs::EntryKind::regular) {
            CHECK(is_regular, "an entry listed as regular has a regular status");
        }
        if (serr != 0) {
            CHECK(fs::is_absent_error(serr), "a dangling link is absent, not an error");
            continue;
        }
        if (is_regular) {
            regular.push_back(stdfs::path(e.name).string());
        }
    }
    std::sort(regular.begin(), regular.end());
#ifdef _WIN32
    const std::vector<std::string> expected = {"new.png", "old.png"};
#else
    const std::vector<std::string> expected = {"link.png", "new.png", "old.png"};
#endif
    CHECK(regular == expected, "regular files, links to them included, folders and dangling links not");

    fs::FileStatus old_st, new_st;
    CHECK(dir.stat(native_name(root / "old.png"), old_st) == 0 && dir.stat(native_name(root / "new.png"), new_st) == 0,
          "status of two files");
    CHECK(std::fabs(new_st.mtime - old_st.mtime - 100.0) < 1.0, "mtimes 100 s apart: " + bits(new_st.mtime - old_st.mtime));
    // Seconds since 1970, as the host's st_mtime: a wrong epoch (Windows counts from 1601) is centuries off.
    CHECK(std::fabs(new_st.mtime - static_cast<double>(std::time(nullptr))) < 86400.0, "mtime on the Unix epoch");
    fs::FileStatus missing;
    const int merr = dir.stat(native_name(root / "missing.png"), missing);
    CHECK(merr != 0 && fs::is_absent_error(merr), "a vanished file is absent");

    fs::Folder gone((root / "no_such_folder").native());
    std::vector<fs::DirEntry> none;
    const int gerr = gone.error() != 0 ? gone.error() : gone.list(none);
    CHECK(gerr != 0 && fs::is_absent_error(gerr), "a missing folder fails with an absent error");
    stdfs::remove_all(root);
}

void rename_without_replacing() {
    const stdfs::path root = stdfs::temp_directory_path() / ("qorva_rename_" + std::to_string(std::time(nullptr)));
    stdfs::create_directories(root);
    auto write = [&](const char *name, const char *text) { std::ofstream(root / name) << text; };
    auto read = [&](const char *name) {
        std::ifstream in(root / name);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    write("a.part", "new");
    write("taken.png", "old");
    CHECK(fs::rename_noreplace((root / "a.part").native(), (root / "taken.png").native()) != 0, "a taken name fails");
    CHECK(read("taken.png") == "old" && read("a.part") == "new", "and neither file changes");
    CHECK(fs::rename_noreplace((root / "a.part").native(), (root / "free.png").native()) == 0, "a free name");
    CHECK(read("free.png") == "new" && !stdfs::exists(root / "a.part"), "holds the file under the new name alone");
    stdfs::remove_all(root);
}

// --- change notification ------------------------------------------------------------------------

void notifying_file_systems() {
    struct LinuxRow {
        unsigned long long f_type;
        bool notifies;
    };
    const LinuxRow linux_rows[] = {{0xEF53, true},      {0x58465342, true}, {0x01021994, true},  {0x794C7630, true},
                                   {0x6969, false},     {0xFF534D42, false}, {0xFE534D42, false}, {0x65735546, false},
                                   {0x01021997, false}};  // ext4, xfs, tmpfs, overlay; NFS, CIFS, SMB2, FUSE, 9P
    for (const LinuxRow &r : linux_rows) {
        CHECK(fs::notifies_linux(r.f_type) == r.notifies, "f_type " + std::to_string(r.f_type));
    }
    struct WindowsRow {
        unsigned drive_type;
        const wchar_t *fs_name;
        bool notifies;
    };
    const WindowsRow windows_rows[] = {{3, L"NTFS", true},  {2, L"exFAT", true}, {3, L"ReFS", true},
                                       {4, L"NTFS", false}, {3, L"FUSE", false}, {3, L"Dokan", false},
                                       {5, L"CDFS", false}, {0, L"NTFS", false}};
    for (const WindowsRow &r : windows_rows) {
        CHECK(fs::notifies_windows(r.drive_type, r.fs_name) == r.notifies,
              "drive type " + std::to_string(r.drive_type));
    }
}

bool reported(const fs::Changes &c, const char *name) {
    return std::find(c.names.begin(), c.names.end(), stdfs::path(name).native()) != c.names.end();
}

void watching_a_folder() {
    const stdfs::path root = stdfs::temp_directory_path() / ("qorva_watch_" + std::to_string(std::time(nullptr)));
    stdfs::remove_all(root);
    stdfs::create_directories(root / "in");
    auto owned = std::make_unique<fs::Watch>((root / "in").native());
    fs::Watch &watch = *owned;
    CHECK(watch.state() == fs::WatchState::watching, "a local folder is watched");
    fs::Changes idle;
    watch.read(idle);
    CHECK(idle.names.empty() && !idle.relist && !idle.broken, "nothing happened, nothing read");
    std::ofstream(root / "in" / "a.png") << "x";
    stdfs::rename(root / "in" / "a.png", root / "in" / "b.png");
    // Windows (and wine) deliver from another thread: give the notification a moment.
    fs::Changes changes;
    for (int i = 0; i < 100 && !(reported(changes, "a.png") && reported(changes, "b.png")); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        watch.read(changes);
    }
    CHECK(reported(changes, "a.png") && reported(changes, "b.png") && !changes.broken, "create and rename reported");
    CHECK(watch.names_it((root / "in").native()), "the path still names the watched folder");
    stdfs::rename(root / "in", root / "old");
    stdfs::create_directories(root / "in");
    CHECK(!watch.names_it((root / "in").native()), "a folder replaced at the path is not the watched one");
    owned.reset();  // Windows removes no folder while a handle is open on it
    stdfs::remove_all(root);
}

std::vector<std::string> candidate_names(const fs::Listing &l, const std::vector<fs::Listing::Passing> &passing = {}) {
    std::vector<std::string> out;
    for (const fs::NativeString *n : l.candidates(passing)) {
        out.push_back(stdfs::path(*n).string());
    }
    return out;
}

// The listing kept from changes, judged as the camera judges: .png files are in, the rest out.
void listing_kept_from_changes() {
    const stdfs::path root = stdfs::temp_directory_path() / ("qorva_listing_" + std::to_string(std::time(nullptr)));
    stdfs::remove_all(root);
    stdfs::create_directories(root / "sub.png");
    const auto now = stdfs::file_time_type::clock::now();
    auto file = [&](const char *name, int age_s) {
        std::ofstream(root / name) << "x";
        stdfs::last_write_time(root / name, now - std::chrono::seconds(age_s));
    };
    file("new.png", 10);
    file("old.png", 100);
    file("note.txt", 50);
    fs::Listing l;
    auto judge = [&] {
        std::vector<fs::Listing::Admission> in;
        std::vector<fs::Listing::Passing> passing;
        for (fs::NativeString &n : l.take_unjudged()) {
            const std::string s = stdfs::path(n).string();
            if (s.size() > 4 && s.compare(s.size() - 4, 4, ".png") == 0) {
                in.push_back({n, std::u32string(s.begin(), s.end())});
            } else {
                l.reject(n);
            }
        }
        CHECK(l.admit(std::move(in), passing).err == 0, "admitted");
        return passing;
    };
    CHECK(l.relist(root.native()).err == 0, "listed");
    judge();
    CHECK((candidate_names(l) == std::vector<std::string>{"old.png", "new.png"}), "by time, folders and .txt out");
    file("new.png", 1000);  // touched: the times of candidates are read on every pass
    file("late.png", 1);
    CHECK(l.refresh({stdfs::path("late.png").native()}).err == 0, "refreshed");
    judge();
    CHECK((candidate_names(l) == std::vector<std::string>{"new.png", "old.png", "late.png"}), "a touch moves a file");
    l.reject(stdfs::path("old.png").native());
    stdfs::remove(root / "late.png");
    CHECK(l.refresh({stdfs::path("late.png").native()}).err == 0, "refreshed after a removal");
    CHECK((candidate_names(l) == std::vector<std::string>{"new.png"}), "a seen and a removed file leave");
    l.forget_verdicts();
    judge();
    CHECK((candidate_names(l) == std::vector<std::string>{"new.png", "old.png"}), "forgotten verdicts are taken anew");
    file("gone.png", 5000);
    CHECK(l.refresh({stdfs::path("gone.png").native()}).err == 0, "refreshed after an arrival");
    stdfs::remove(root / "gone.png");  // after the listing, before its time is read
    const auto passing = judge();
    CHECK((candidate_names(l, passing) == std::vector<std::string>{"gone.png", "new.png", "old.png"}),
          "a file gone before its time is read is in the result, which is by name");
    CHECK((candidate_names(l) == std::vector<std::string>{"new.png", "old.png"}), "and is no candidate after");
    CHECK(l.relist((root / "missing").native()).err != 0 && !l.listed(), "a failed listing leaves nothing listed");
    stdfs::remove_all(root);
}

// --- image headers ----------------------------------------------------------------------------

using Bytes = std::string;

Bytes be(std::uint64_t v, int n) {
    Bytes out;
    for (int i = n - 1; i >= 0; --i) {
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    return out;
}

Bytes le(std::uint64_t v, int n) {
    Bytes out;
    for (int i = 0; i < n; ++i) {
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
    }
    return out;
}

Bytes png_file(std::uint64_t w, std::uint64_t h, std::uint64_t idat_len = 3) {
    const Bytes crc(4, 'c');
    return Bytes("\x89PNG\r\n\x1a\n", 8) + be(13, 4) + "IHDR" + be(w, 4) + be(h, 4) + Bytes("\x08\x02\0\0\0", 5) + crc +
           be(idat_len, 4) + "IDAT" + Bytes(3, 'x') + crc + be(0, 4) + "IEND" + crc;
}

// APP0, a frame, a scan whose data holds a stuffed 0xFF and a restart marker, then EOI.
Bytes jpeg_file(std::uint64_t w, std::uint64_t h, const Bytes &before_frame = "") {
    return Bytes("\xFF\xD8", 2) + before_frame + "\xFF\xE0" + be(16, 2) + Bytes(14, 'j') + "\xFF\xC0" + be(17, 2) +
           "\x08" + be(h, 2) + be(w, 2) + "\x03" + Bytes(9, 'q') + "\xFF\xDA" + be(12, 2) + Bytes(10, 's') +
           Bytes("ab\xFF\x00" "cd\xFF\xD0" "ef", 10) + "\xFF\xD9";
}

Bytes bmp_file(std::int64_t w, std::int64_t h, std::uint64_t bpp = 24, std::uint64_t offset = 54) {
    const std::uint64_t row = ((static_cast<std::uint64_t>(w) * bpp + 31) / 32) * 4;
    const std::uint64_t rows = static_cast<std::uint64_t>(h < 0 ? -h : h);
    return Bytes("BM", 2) + le(offset + row * rows, 4) + le(0, 4) + le(offset, 4) + le(40, 4) +
           le(static_cast<std::uint64_t>(w), 4) + le(static_cast<std::uint64_t>(h), 4) + le(1, 2) + le(bpp, 2) +
           le(0, 4) + le(0, 4) + Bytes(16, '\0') + Bytes(offset - 54, 'p') + Bytes(row * rows, 'd');
}

// One directory at offset 8 (width, height, one strip and its length), the strip after it.
Bytes tiff_file(bool little, std::uint64_t w, std::uint64_t h, std::uint64_t strip_len,
                std::uint64_t strip_at = 8 + 2 + 4 * 12 + 4) {
    auto n = [&](std::uint64_t v, int k) { return little ? le(v, k) : be(v, k); };
    auto entry = [&](std::uint64_t tag, std::uint64_t v) { return n(tag, 2) + n(4, 2) + n(1, 4) + n(v, 4); };
    return Bytes(little ? "II*\0" : "MM\0*", 4) + n(8, 4) + n(4, 2) + entry(256, w) + entry(257, h) +
           entry(273, strip_at) + entry(279, strip_len) + n(0, 4) + Bytes(static_cast<std::size_t>(strip_len), 't');
}

std::optional<qorva::core::image::Header> header_of(const Bytes &b) {
    return qorva::core::image::read_header(reinterpret_cast<const unsigned char *>(b.data()), b.size());
}

std::string shown(const std::optional<qorva::core::image::Header> &h) {
    if (!h) {
        return "none";
    }
    return std::to_string(h->width) + "x" + std::to_string(h->height) + (h->complete ? " complete" : " cut");
}

void image_headers() {
    struct Row {
        const char *what;
        Bytes data;
        const char *expected;  // as shown(): "WxH complete", "WxH cut" or "none"
    };
    Bytes long_chunk = png_file(4, 3);
    long_chunk.replace(33, 4, be(0xFFFFFFFFu, 4));  // the IDAT length
    Bytes wide_strip = tiff_file(true, 2, 2, 0);
    wide_strip.replace(8 + 2 + 2 * 12 + 8, 4, le(0xFFFFFFFFu, 4));  // strip at 4 GiB ...
    wide_strip.replace(8 + 2 + 3 * 12 + 8, 4, le(0xFFFFFFFFu, 4));  // ... of 4 GiB: the sum overflows 32 bits
    const Row rows[] = {
        {"png", png_file(640, 480), "640x480 complete"},
        {"png declaring 30000x30000", png_file(30000, 30000), "30000x30000 complete"},
        {"png of width 0", png_file(0, 5), "0x5 complete"},
        {"png of 2^32-1 squared", png_file(0xFFFFFFFFu, 0xFFFFFFFFu), "4294967295x4294967295 complete"},
        {"png chunk longer than any valid one", long_chunk, "4x3 complete"},
        {"png whose first chunk is not IHDR", Bytes("\x89PNG\r\n\x1a\n", 8) + be(13, 4) + "IDAT" + Bytes(13, 'x'),
         "none"},
        {"jpeg", jpeg_file(1920, 1080), "1920x1080 complete"},
        {"jpeg declaring 65535x65535", jpeg_file(65535, 65535), "65535x65535 complete"},
        {"jpeg with a thumbnail's EOI in APP1", jpeg_file(8, 8, Bytes("\xFF\xE1", 2) + be(6, 2) + "\xFF\xD9\xFF\xD9"),
         "8x8 complete"},
        {"jpeg with fill bytes before a marker", jpeg_file(8, 8, Bytes("\xFF\xFF\xFF\xFE", 4) + be(2, 2)),
         "8x8 complete"},
        {"jpeg of height 0 (set by a later marker)", jpeg_file(8, 0), "8x0 complete"},
        {"jpeg with a segment length below 2", Bytes("\xFF\xD8\xFF\xE0\x00\x01", 6), "none"},
        {"jpeg without a frame", Bytes("\xFF\xD8\xFF\xD9", 4), "none"},
        {"jpeg with garbage after SOI", Bytes("\xFF\xD8\x00\x00\x00\x00", 6), "none"},
        {"bmp", bmp_file(7, 5), "7x5 complete"},
        {"bmp top-down", bmp_file(7, -5), "7x5 complete"},
        {"bmp with a gap before the pixels", bmp_file(3, 2, 8, 1078), "3x2 complete"},
        {"bmp of width 0", bmp_file(0, 4), "0x4 complete"},
        {"bmp of negative width", bmp_file(3, 4).replace(18, 4, le(0xFFFFFFFDu, 4)), "none"},
        {"bmp declaring 2^31-1 squared at 65535 bits a pixel",
         bmp_file(0, 0).replace(18, 12, le(0x7FFFFFFF, 4) + le(0x7FFFFFFF, 4) + le(1, 2) + le(0xFFFF, 2)),
         "2147483647x2147483647 cut"},
        {"bmp with a 4 GiB pixel offset", bmp_file(1, 1).replace(10, 4, le(0xFFFFFFF0u, 4)), "1x1 cut"},
        {"bmp with an unknown header size", bmp_file(1, 1).replace(14, 4, le(8, 4)), "none"},
        {"tiff little-endian", tiff_file(true, 320, 200, 64), "320x200 complete"},
        {"tiff big-endian", tiff_file(false, 320, 200, 64), "320x200 complete"},
        {"tiff whose strip overflows 32 bits", wide_strip, "2x2 cut"},
        {"tiff whose directory lies past the end", Bytes("II*\0", 4) + le(0xFFFFFFF0u, 4) + Bytes(8, 'z'), "0x0 cut"},
        {"tiff whose directory offset is inside the header", Bytes("II*\0", 4) + le(4, 4) + Bytes(8, 'z'), "none"},
        {"tiff without a width", tiff_file(true, 1, 1, 4).replace(10, 2, le(999, 2)), "none"},
        {"empty", Bytes(), "none"},
        {"gif", Bytes("GIF89a\x01\x00\x01\x00", 10), "none"},
        {"text", Bytes("not an image"), "none"},
    };
    for (const Row &r : rows) {
        CHECK(shown(header_of(r.data)) == r.expected, std::string(r.what) + ": " + shown(header_of(r.data)));
    }
    // Every prefix of a whole file is a file still being written: never complete, never unknown.
    const Bytes whole[] = {png_file(640, 480), jpeg_file(640, 480), bmp_file(7, 5), tiff_file(true, 3, 3, 9),
                           tiff_file(false, 3, 3, 9)};
    for (const Bytes &b : whole) {
        int cut_as_complete = 0;
        for (std::size_t len = 1; len < b.size(); ++len) {
            const auto h = header_of(b.substr(0, len));
            cut_as_complete += !h || h->complete ? 1 : 0;
        }
        CHECK(cut_as_complete == 0, shown(header_of(b)) + ": " + std::to_string(cut_as_complete) + " prefixes");
    }
}

}  // namespace

int main() {
    suffixes();
    arrival_order();
    small_rules();
    calibration();
    folder_listing();
    rename_without_replacing();
    notifying_file_systems();
    watching_a_folder();
    listing_kept_from_changes();
    image_headers();
    std::printf("core: %d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}
