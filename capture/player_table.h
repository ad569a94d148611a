#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "capture/hashed_index.h"
#include "capture/player_record.h"
#include "platform/clock.h"

namespace korvane {

// The key of an address: its four bytes as unsigned decimal numbers in wire order, with dots.
std::string AddressKey(std::span<const uint8_t, 4> address);
// The key's hash: for each character, hash = (hash << 3) ^ character, in 32 bits.
uint32_t KeyHash(std::string_view key);

// One record per source address, found on every frame from it and swept away when it is no
// longer followed. Lookups restart a record's idle timer; the sweep retires idle records and
// destroys, one pass later, those no longer active.
class PlayerTable final : public HashedIndex<PlayerRecord, 10> {
  public:
    // Called by the sweep for a kicked player whose grace time has run out; clears `active`
    // once the removal is sent.
    using Disconnect = std::function<void(PlayerRecord&)>;

    explicit PlayerTable(const Clock& clock) : clock_(clock) {}

    PlayerRecord* Find(std::string_view key) const override;
    size_t BucketOf(std::string_view key) const override;

    // The record of an address, made with player id 0 when there is none.
    PlayerRecord& GetPlayer(std::span<const uint8_t, 4> address);
    // The record of an address (made with `id` when there is none), its player id set to `id`.
    PlayerRecord& GetPlayerWithId(uint32_t id, std::span<const uint8_t, 4> address);

    void SetDisconnect(Disconnect disconnect) { disconnect_ = std::move(disconnect); }
    // One pass over all records, newest first.
    void SweepPlayers();

    // The list of all records, newest first, with the table's cursor.
    OwningPointerList<PlayerRecord>& records() { return all_; }
    const OwningPointerList<PlayerRecord>& records() const { return all_; }
    PlayerRecord* Newest() const { return all_.Front(); }

  private:
    PlayerRecord& Lookup(uint32_t id, std::span<const uint8_t, 4> address);

    const Clock& clock_;
    Disconnect disconnect_;
};

}  // namespace korvane
