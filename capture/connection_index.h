#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvane {

struct PlayerSlot;

// A hash of the connection with a secret seed, so that nobody outside can choose addresses and
// ports that fall together.
struct SeededConnectionHash {
    uint64_t seed = 0;
    size_t operator()(uint64_t connection) const;
};

// The slots of records by connection (address and port): open addressing with linear probing in
// a power-of-two table kept at most half full, the place of a connection chosen by the seeded
// hash. A lookup reads one or two entries of one cache line as a rule; an entry taken out is
// filled from behind, so no marks of removed entries make later probes longer. The table doubles
// when it must and never shrinks: at a steady number of records it allocates nothing.
class ConnectionIndex {
  public:
    explicit ConnectionIndex(SeededConnectionHash hash = {}) : hash_(hash) {}

    PlayerSlot* Find(uint64_t connection) const;
    // Adds a connection that is not in the index.
    void Insert(uint64_t connection, PlayerSlot* slot);
    // Takes a connection out; nothing when it is not in the index.
    void Erase(uint64_t connection);
    size_t size() const { return size_; }
    // Asks the processor to bring the connection's entry into the cache ahead of its use.
    void Prefetch(uint64_t connection) const {
        if (!entries_.empty()) {
            __builtin_prefetch(&entries_[Home(connection)], 1);
        }
    }

    // Every slot, in no particular order.
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        for (const Entry& entry : entries_) {
            if (entry.slot != nullptr) {
                visit(entry.connection, *entry.slot);
            }
        }
    }

  private:
    struct Entry {
        uint64_t connection = 0;
        PlayerSlot* slot = nullptr;  // null for an empty entry
    };
    size_t Home(uint64_t connection) const { return hash_(connection) & (entries_.size() - 1); }
    void Grow();

    SeededConnectionHash hash_;
    std::vector<Entry> entries_;
    size_t size_ = 0;
};

}  // namespace korvane
