#include "capture/connection_index.h"

#include <utility>

namespace korvane {

namespace {
constexpr size_t kFirstEntries = 16;
}  // namespace

size_t SeededConnectionHash::operator()(uint64_t connection) const {
    // The finishing steps of splitmix64: every bit of the seeded connection reaches every bit.
    uint64_t x = connection + seed;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
    return static_cast<size_t>(x ^ (x >> 31));
}

PlayerSlot* ConnectionIndex::Find(uint64_t connection) const {
    if (size_ == 0) {
        return nullptr;
    }
    const size_t mask = entries_.size() - 1;
    for (size_t at = Home(connection);; at = (at + 1) & mask) {
        const Entry& entry = entries_[at];
        if (entry.slot == nullptr) {
            return nullptr;
        }
        if (entry.connection == connection) {
            return entry.slot;
        }
    }
}

void ConnectionIndex::Insert(uint64_t connection, PlayerSlot* slot) {
    if (2 * (size_ + 1) > entries_.size()) {
        Grow();
    }
    const size_t mask = entries_.size() - 1;
    size_t at = Home(connection);
    while (entries_[at].slot != nullptr) {
        at = (at + 1) & mask;
    }
    entries_[at] = {connection, slot};
    ++size_;
}

void ConnectionIndex::Erase(uint64_t connection) {
    if (size_ == 0) {
        return;
    }
    const size_t mask = entries_.size() - 1;
    size_t hole = Home(connection);
    while (entries_[hole].connection != connection || entries_[hole].slot == nullptr) {
        if (entries_[hole].slot == nullptr) {
            return;
        }
        hole = (hole + 1) & mask;
    }
    // Entries behind the hole whose home lies at or before it move up into it, so that every
    // entry stays reachable from its home without a gap on the way.
    for (size_t next = (hole + 1) & mask; entries_[next].slot != nullptr;
         next = (next + 1) & mask) {
        const size_t home = Home(entries_[next].connection);
        const bool homeAfterHole =
            hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
        if (!homeAfterHole) {
            entries_[hole] = entries_[next];
            hole = next;
        }
    }
    entries_[hole] = {};
    --size_;
}

void ConnectionIndex::Grow() {
    std::vector<Entry> old(entries_.empty() ? kFirstEntries : 2 * entries_.size());
    std::swap(old, entries_);
    const size_t mask = entries_.size() - 1;
    for (const Entry& entry : old) {
        if (entry.slot != nullptr) {
            size_t at = Home(entry.connection);
            while (entries_[at].slot != nullptr) {
                at = (at + 1) & mask;
            }
            entries_[at] = entry;
        }
    }
}

}  // namespace korvane
