// The camera's rules that need no Python: suffixes, arrival order, size stability,
// collision-free names and the poll interval. Plain C++ on plain types.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qorva::core::arrival {

// Where the suffix of `name` starts (its last dot), or npos when the name has none: a dot
// that is the first or the last character does not start a suffix (".png", "a.").
template <class C>
std::size_t suffix_start(std::basic_string_view<C> name) {
    const std::size_t i = name.rfind(static_cast<C>('.'));
    if (i == std::basic_string_view<C>::npos || i == 0 || i + 1 == name.size()) {
        return std::basic_string_view<C>::npos;
    }
    return i;
}

// The suffix of `name` lower-cased, when it is pure ASCII (str.lower() then agrees with
// A-Z -> a-z). Empty optional when the suffix holds other characters: the host must lower it.
// A name without a suffix gives an empty string.
template <class C>
std::optional<std::string> ascii_lower_suffix(std::basic_string_view<C> name) {
    const std::size_t i = suffix_start(name);
    std::string out;
    if (i == std::basic_string_view<C>::npos) {
        return out;
    }
    out.reserve(name.size() - i);
    for (std::size_t k = i; k < name.size(); ++k) {
        const auto c = static_cast<unsigned long>(name[k]);
        if (c >= 0x80) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
    }
    return out;
}

struct Arrival {
    std::u32string name;  // code points, so ties break as str comparison does
    double mtime = 0.0;
    std::size_t index = 0;  // position in the caller's list
};

// Ascending (mtime, name) when `by_time`, else by name alone. Returns the indices in order.
std::vector<std::size_t> arrival_order(std::vector<Arrival> items, bool by_time);

// Size stability: the remembered size has been seen for at least the stable time.
inline bool settled(double first_seen, double now, double stable_s) { return now - first_seen >= stable_s; }

// The tail put between stem and suffix of a moved file whose name is taken:
// "_<ms>" for attempt 0, then "_<ms>_1", "_<ms>_2", ...
std::string stamp_tail(std::string_view millis, unsigned attempt);

// Idle wait between passes in seconds; 0.01 s floor caps an idle camera at 100 scans/s.
inline double poll_interval(double poll_ms) {
    const double s = poll_ms / 1000.0;
    return s > 0.01 ? s : 0.01;
}

}  // namespace qorva::core::arrival
