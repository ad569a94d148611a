#include "capture/player_table.h"

#include <algorithm>

#include "platform/format.h"

namespace korvane {

std::string AddressKey(std::span<const uint8_t, 4> address) {
    return StringPrintf("%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
}

uint32_t KeyHash(std::string_view key) {
    uint32_t hash = 0;
    for (char c : key) {
        hash = (hash << 3) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
    }
    return hash;
}

size_t PlayerTable::BucketOf(std::string_view key) const {
    return KeyHash(key) % kBuckets;
}

PlayerRecord* PlayerTable::Find(std::string_view key) const {
    const PointerList<PlayerRecord>* bucket = Bucket(BucketOf(key));
    if (bucket == nullptr) {
        return nullptr;
    }
    return bucket->FindFirst(
        [key](const PlayerRecord& record) { return record.addressKey.view() == key; });
}

PlayerRecord& PlayerTable::Lookup(uint32_t id, std::span<const uint8_t, 4> address) {
    const std::string key = AddressKey(address);
    PlayerRecord* record = Find(key);
    if (record == nullptr) {
        auto made = std::make_unique<PlayerRecord>(id, clock_);
        made->addressKey.Set(key);
        std::copy(address.begin(), address.end(), made->ipAddress.begin());
        record = &Insert(key, std::move(made));
    }
    // A kicked player's traffic no longer holds the removal off.
    if (!record->kickPending) {
        record->idleTimer.Restart();
    }
    return *record;
}

PlayerRecord& PlayerTable::GetPlayer(std::span<const uint8_t, 4> address) {
    return Lookup(0, address);
}

PlayerRecord& PlayerTable::GetPlayerWithId(uint32_t id, std::span<const uint8_t, 4> address) {
    PlayerRecord& record = Lookup(id, address);
    record.playerId = id;
    return record;
}

void PlayerTable::SweepPlayers() {
    all_.StartWalk();
    while (PlayerRecord* record = all_.NextInWalk()) {
        if (!record->active) {
            Destroy(record->addressKey.view(), *record);
        } else if (record->idleTimer.Expired()) {
            if (record->kickPending) {
                if (disconnect_) {
                    disconnect_(*record);
                }
            } else {
                record->active = false;
            }
        }
    }
}

}  // namespace korvane
