#include "capture/player_table.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>
#include <optional>
#include <random>
#include <utility>

namespace korvane {

namespace {

constexpr size_t kMaxKeyLength = 15;  // "255.255.255.255"

// Writes the key of an address into `out` and returns its length.
size_t WriteAddressKey(AddressBytes address, std::array<char, kMaxKeyLength>& out) {
    size_t length = 0;
    for (size_t i = 0; i < address.size(); ++i) {
        if (i > 0) {
            out[length++] = '.';
        }
        const unsigned value = address[i];
        if (value >= 100) {
            out[length++] = static_cast<char>('0' + value / 100);
        }
        if (value >= 10) {
            out[length++] = static_cast<char>('0' + value / 10 % 10);
        }
        out[length++] = static_cast<char>('0' + value % 10);
    }
    return length;
}

uint32_t AddressValue(AddressBytes address) {
    return uint32_t{address[0]} << 24 | uint32_t{address[1]} << 16 | uint32_t{address[2]} << 8 |
           uint32_t{address[3]};
}

uint64_t ConnectionValue(uint32_t address, uint16_t port) {
    return uint64_t{address} << 16 | port;
}

// The address whose key is exactly `key`, if there is one.
std::optional<std::array<uint8_t, 4>> AddressOfKey(std::string_view key) {
    std::array<uint8_t, 4> address{};
    size_t at = 0;
    for (size_t i = 0; i < address.size(); ++i) {
        if (i > 0 && (at >= key.size() || key[at++] != '.')) {
            return std::nullopt;
        }
        unsigned value = 0;
        size_t digits = 0;
        while (at < key.size() && key[at] >= '0' && key[at] <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(key[at++] - '0');
            ++digits;
        }
        if (digits == 0 || value > 255) {
            return std::nullopt;
        }
        address[i] = static_cast<uint8_t>(value);
    }
    std::array<char, kMaxKeyLength> written{};
    const size_t length = WriteAddressKey(address, written);
    if (std::string_view(written.data(), length) != key) {
        return std::nullopt;  // leading zeros, trailing characters
    }
    return address;
}

// The key hash of each byte's decimal text, alone and after a dot, with the text's length: the
// hash of a key is that of its parts, each earlier one shifted on by three bits a character.
struct OctetHash {
    uint32_t alone = 0;
    uint32_t dotted = 0;
    unsigned dottedLength = 0;
};

constexpr std::array<OctetHash, 256> OctetHashes() {
    std::array<OctetHash, 256> table{};
    for (unsigned value = 0; value < 256; ++value) {
        uint32_t hash = 0;
        unsigned length = 0;
        for (unsigned divisor : {100u, 10u, 1u}) {
            if (value >= divisor || divisor == 1) {
                hash = (hash << 3) ^ ('0' + value / divisor % 10);
                ++length;
            }
        }
        table[value] = {hash, (uint32_t{'.'} << (3 * length)) ^ hash, length + 1};
    }
    return table;
}
constexpr std::array<OctetHash, 256> kOctetHashes = OctetHashes();

}  // namespace

uint32_t AddressKeyHash(AddressBytes address) {
    uint32_t hash = kOctetHashes[address[0]].alone;
    for (size_t i = 1; i < address.size(); ++i) {
        const OctetHash& part = kOctetHashes[address[i]];
        hash = (hash << (3 * part.dottedLength)) ^ part.dotted;
    }
    return hash;
}

namespace {

uint64_t RandomSeed() {
    std::random_device source;
    return uint64_t{source()} << 32 ^ source();
}

}  // namespace

std::string AddressKey(AddressBytes address) {
    std::array<char, kMaxKeyLength> key{};
    return std::string(key.data(), WriteAddressKey(address, key));
}

uint32_t KeyHash(std::string_view key) {
    uint32_t hash = 0;
    for (char c : key) {
        hash = (hash << 3) ^ static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(c)));
    }
    return hash;
}

namespace {

// Makes a record over as new, in the storage it has.
template <typename... Made>
void Renew(PlayerRecord& record, Made&&... made) {
    std::destroy_at(&record);
    std::construct_at(&record, std::forward<Made>(made)...);
}

}  // namespace

void PlayerTable::PrefetchNextDrop() const {
    // Under a flood each new address drops the longest-silent record, which is the least
    // recently touched memory there is: fetched while this frame is still being handled, it is
    // in the cache by the next one.
    const PlayerSlot* next = newcomers_.Back();
    if (next == nullptr) {
        return;
    }
    __builtin_prefetch(next, 1);
    const auto* record = reinterpret_cast<const char*>(next->record);
    for (size_t at = 0; at < sizeof(PlayerRecord); at += 64) {
        __builtin_prefetch(record + at, 1);
    }
    buckets_[next->bucket].Prefetch(next->connection);
}

PlayerSlot& PlayerTable::NewSlot() {
    if (freeSlots_.empty()) {
        return slots_.emplace_back();
    }
    PlayerSlot& slot = *freeSlots_.back();
    freeSlots_.pop_back();
    return slot;
}

void PlayerTable::FreeSlot(PlayerSlot& slot) {
    slot = PlayerSlot{};
    freeSlots_.push_back(&slot);
}

PlayerTable::PlayerTable(const Clock& clock, Limits limits) : clock_(clock), limits_(limits) {
    const SeededConnectionHash hash{RandomSeed()};
    for (PlayerBucket& bucket : buckets_) {
        bucket = PlayerBucket(hash);
    }
}

PlayerTable::~PlayerTable() = default;

size_t PlayerTable::BucketOf(std::string_view key) const {
    return KeyHash(key) % kBuckets;
}

PlayerSlot* PlayerTable::FindSlot(uint64_t connection, size_t bucket) const {
    return buckets_[bucket].Find(connection);
}

PlayerRecord* PlayerTable::Find(std::string_view key) const {
    const size_t colon = key.find(':');
    const std::string_view addressText = key.substr(0, colon);
    const std::optional<std::array<uint8_t, 4>> address = AddressOfKey(addressText);
    if (!address) {
        return nullptr;
    }
    const size_t bucket = BucketOf(addressText);
    if (colon != std::string_view::npos) {
        const std::string_view portText = key.substr(colon + 1);
        uint16_t port = 0;
        const auto [end, error] =
            std::from_chars(portText.data(), portText.data() + portText.size(), port);
        if (portText.empty() || error != std::errc() || end != portText.data() + portText.size()) {
            return nullptr;
        }
        const PlayerSlot* slot = FindSlot(ConnectionValue(AddressValue(*address), port), bucket);
        return slot == nullptr ? nullptr : slot->record;
    }
    // Any connection of the address: the newest.
    const PlayerSlot* newest = nullptr;
    buckets_[bucket].ForEach([&](uint64_t connection, const PlayerSlot& slot) {
        if ((connection >> 16) == AddressValue(*address) &&
            (newest == nullptr || slot.serial > newest->serial)) {
            newest = &slot;
        }
    });
    return newest == nullptr ? nullptr : newest->record;
}

PlayerRecord& PlayerTable::Lookup(std::optional<uint32_t> id, const ConnectionEnd& end) {
    const uint64_t value = ConnectionValue(AddressValue(end.address), end.port);
    const size_t bucket = AddressKeyHash(end.address) % kBuckets;
    PlayerSlot* slot = FindSlot(value, bucket);
    if (slot == nullptr) {
        while (count() >= limits_.maxRecords && DropForCount()) {
        }
        OwningPointerList<PlayerRecord>::Position position;
        if (spare_.empty()) {
            position =
                all_.AddFrontAt(std::make_unique<PlayerRecord>(PlayerRecord::kUnnamed, clock_));
        } else {
            position = spare_.Begin();
            spare_.MoveToFrontOf(position, all_);
        }
        PlayerRecord& made = **position;
        if (id) {
            Renew(made, *id, clock_);
        } else {
            Renew(made, PlayerRecord::kUnnamed, clock_);
            made.trust = PlayerRecord::Trust::undecided;
        }
        std::array<char, kMaxKeyLength> key{};
        made.addressKey.Set(std::string_view(key.data(), WriteAddressKey(end.address, key)));
        std::copy(end.address.begin(), end.address.end(), made.ipAddress.begin());
        made.port = end.port;
        slot = &NewSlot();
        buckets_[bucket].Insert(value, slot);
        slot->record = &made;
        slot->position = position;
        slot->connection = value;
        slot->bucket = bucket;
        slot->serial = nextSerial_++;
        newcomers_.MoveToFront(*slot);
        if (count() >= limits_.maxRecords) {
            PrefetchNextDrop();
        }
    } else if (!kicked_.Contains(*slot) && !slot->record->kickPending) {
        newcomers_.Remove(*slot);
        regulars_.MoveToFront(*slot);
    }
    slot->lastHeard = ++lookups_;
    for (HoldingQueue* holders : {&holding_, &kickedHolding_}) {
        if (holders->Contains(*slot)) {
            holders->MoveToFront(*slot);
        }
    }
    PlayerRecord& record = *slot->record;
    // A kicked player's traffic no longer holds the removal off.
    if (!record.kickPending) {
        record.idleTimer.Restart();
    }
    Watch(*slot);
    return record;
}

PlayerRecord& PlayerTable::GetPlayer(AddressBytes address, uint16_t port) {
    PlayerRecord& record = Lookup(0, {address, port});
    record.MarkNamed();
    return record;
}

PlayerRecord& PlayerTable::GetPlayerWithId(uint32_t id, AddressBytes address, uint16_t port) {
    PlayerRecord& record = Lookup(id, {address, port});
    record.TakeId(id);
    return record;
}

PlayerRecord& PlayerTable::GetConnection(const ConnectionEnd& end) {
    return Lookup(std::nullopt, end);
}

PlayerRecord* PlayerTable::FindConnection(const ConnectionEnd& end) const {
    const PlayerSlot* slot = FindSlot(ConnectionValue(AddressValue(end.address), end.port),
                                      AddressKeyHash(end.address) % kBuckets);
    return slot == nullptr ? nullptr : slot->record;
}

PlayerRecord* PlayerTable::IdOwner(uint32_t id) const {
    const auto found = idOwners_.find(id);
    if (found == idOwners_.end()) {
        return nullptr;
    }
    PlayerRecord* owner = found->second;
    const bool live = owner->active && owner->stream.state() != TcpStream::State::closed;
    return live ? owner : nullptr;
}

void PlayerTable::BindId(PlayerRecord& record, uint32_t id) {
    ReleaseId(record);
    PlayerRecord*& owner = idOwners_[id];
    if (owner != nullptr) {
        owner->idBound = false;  // it no longer lives
    }
    owner = &record;
    record.boundId = id;
    record.idBound = true;
}

void PlayerTable::ReleaseId(PlayerRecord& record) {
    if (!record.idBound) {
        return;
    }
    record.idBound = false;
    if (const auto found = idOwners_.find(record.boundId);
        found != idOwners_.end() && found->second == &record) {
        idOwners_.erase(found);
    }
}

void PlayerTable::Watch(PlayerSlot& slot) {
    if (slot.watchedFor == sweep_) {
        return;
    }
    slot.watchedFor = sweep_;
    slot.watchIndex = watched_.size();
    watched_.push_back(&slot);
}

void PlayerTable::SweepPlayers() {
    // Everything watched since the last sweep, every kicked record, and the longest-silent
    // records whose idle time has run out: nothing else can have changed.
    visits_.clear();
    std::swap(visits_, watched_);
    std::erase(visits_, nullptr);
    const auto add = [this](PlayerSlot& slot) {
        if (slot.watchedFor != sweep_) {
            slot.watchedFor = sweep_;
            visits_.push_back(&slot);
        }
    };
    for (PlayerSlot* slot = kicked_.Back(); slot != nullptr; slot = Queue::Previous(*slot)) {
        add(*slot);
    }
    for (Queue* queue : {&newcomers_, &regulars_}) {
        for (PlayerSlot* slot = queue->Back(); slot != nullptr && slot->record->idleTimer.Expired();
             slot = Queue::Previous(*slot)) {
            add(*slot);
        }
    }
    std::sort(visits_.begin(), visits_.end(),
              [](const PlayerSlot* a, const PlayerSlot* b) { return a->serial > b->serial; });
    ++sweep_;
    newHolders_.clear();
    for (PlayerSlot* slot : visits_) {
        Visit(*slot);
    }
    // The holding queues are in the order the records were last heard from.
    std::sort(newHolders_.begin(), newHolders_.end(),
              [](const PlayerSlot* a, const PlayerSlot* b) { return a->lastHeard < b->lastHeard; });
    for (PlayerSlot* slot : newHolders_) {
        (slot->record->kickPending ? kickedHolding_ : holding_).MoveToFront(*slot);
    }
    const size_t elsewhere = heldElsewhere_ ? heldElsewhere_() : 0;
    while (heldBytes_ + elsewhere > limits_.maxHeldBytes && DropForBytes()) {
    }
}

void PlayerTable::Visit(PlayerSlot& slot) {
    PlayerRecord& record = *slot.record;
    if (!record.active) {
        Destroy(slot);
        return;
    }
    if (record.kickPending) {
        if (!kicked_.Contains(slot)) {
            newcomers_.Remove(slot);
            regulars_.Remove(slot);
            kicked_.MoveToFront(slot);
        }
        if (record.idleTimer.Expired() && disconnect_) {
            disconnect_(record);
        }
    } else if (record.idleTimer.Expired()) {
        record.active = false;
    }
    if (!record.active) {
        Watch(slot);  // destroyed by the next sweep
    }
    const size_t bytes = record.HeldBytes();
    HoldingQueue& queue = record.kickPending ? kickedHolding_ : holding_;
    if (bytes == 0 || !queue.Contains(slot)) {
        ForgetHeldBytes(slot);
        if (bytes > 0) {
            newHolders_.push_back(&slot);  // queued once the sweep knows them all
        }
    } else {
        heldBytes_ -= slot.heldBytes;
        if (record.kickPending) {
            kickedHeldBytes_ -= slot.heldBytes;
        }
    }
    slot.heldBytes = bytes;
    heldBytes_ += bytes;
    if (record.kickPending) {
        kickedHeldBytes_ += bytes;
    }
}

void PlayerTable::ForgetHeldBytes(PlayerSlot& slot) {
    heldBytes_ -= slot.heldBytes;
    if (kickedHolding_.Contains(slot)) {
        kickedHeldBytes_ -= slot.heldBytes;
    }
    slot.heldBytes = 0;
    holding_.Remove(slot);
    kickedHolding_.Remove(slot);
}

void PlayerTable::Destroy(PlayerSlot& slot) {
    ForgetHeldBytes(slot);
    ReleaseId(*slot.record);
    newcomers_.Remove(slot);
    regulars_.Remove(slot);
    kicked_.Remove(slot);
    if (slot.watchedFor == sweep_) {
        watched_[slot.watchIndex] = nullptr;
    }
    buckets_[slot.bucket].Erase(slot.connection);
    if (spare_.count() < kSpareRecords) {
        // Made new when reused; what it holds goes now, for the bound on held bytes.
        if (slot.record->HeldBytes() > 0) {
            Renew(*slot.record, PlayerRecord::kUnnamed, clock_);
        }
        all_.MoveToFrontOf(slot.position, spare_);
    } else {
        all_.RemoveAt(slot.position);
    }
    FreeSlot(slot);
}

bool PlayerTable::DropForCount() {
    PlayerSlot* oldest = newcomers_.Back();
    if (oldest == nullptr) {
        oldest = regulars_.Back();
    }
    if (oldest == nullptr) {
        oldest = kicked_.Back();
    }
    if (oldest == nullptr) {
        return false;
    }
    Destroy(*oldest);
    ++dropped_;
    return true;
}

bool PlayerTable::DropForBytes() {
    // Kicked players, waiting for their removal, may hold at most half the bytes: beyond that
    // the longest silent of them goes, so that they can never push the others' uploads out.
    const bool kickedFirst = kickedHeldBytes_ > limits_.maxHeldBytes / 2;
    PlayerSlot* oldest = (kickedFirst ? kickedHolding_ : holding_).Back();
    if (oldest == nullptr) {
        oldest = (kickedFirst ? holding_ : kickedHolding_).Back();
    }
    if (oldest == nullptr) {
        return false;
    }
    Destroy(*oldest);
    ++dropped_;
    return true;
}

}  // namespace korvane
