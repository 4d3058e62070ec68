#include "core/arrival.hpp"

#include <algorithm>

namespace qorva::core::arrival {

std::vector<std::size_t> arrival_order(std::vector<Arrival> items, bool by_time) {
    // Names within one folder are unique, so either key gives a total order and the
    // sort need not be stable.
    if (by_time) {
        std::sort(items.begin(), items.end(), [](const Arrival &a, const Arrival &b) {
            if (a.mtime != b.mtime) {
                return a.mtime < b.mtime;
            }
            return a.name < b.name;
        });
    } else {
        std::sort(items.begin(), items.end(), [](const Arrival &a, const Arrival &b) { return a.name < b.name; });
    }
    std::vector<std::size_t> order(items.size());
    std::transform(items.begin(), items.end(), order.begin(), [](const Arrival &a) { return a.index; });
    return order;
}

std::string stamp_tail(std::string_view millis, unsigned attempt) {
    std::string tail = "_";
    tail.append(millis);
    if (attempt > 0) {
        tail += '_';
        tail += std::to_string(attempt);
    }
    return tail;
}

}  // namespace qorva::core::arrival
