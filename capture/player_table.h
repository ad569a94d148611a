#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "capture/connection_index.h"
#include "capture/hashed_index.h"
#include "capture/intrusive_queue.h"
#include "capture/player_record.h"
#include "platform/clock.h"

namespace korvane {

using AddressBytes = std::span<const uint8_t, 4>;

// A client's connection to the server: its IPv4 address (wire order) and TCP port.
struct ConnectionEnd {
    AddressBytes address;
    uint16_t port = 0;
};

// The key of an address: its four bytes as unsigned decimal numbers in wire order, with dots.
std::string AddressKey(AddressBytes address);
// The key's hash: for each character, hash = (hash << 3) ^ character, in 32 bits.
uint32_t KeyHash(std::string_view key);
// KeyHash(AddressKey(address)), without writing the key.
uint32_t AddressKeyHash(AddressBytes address);

// Where the table keeps one record: the record's node in the list of all records and its
// places in the queues the sweep and the bounds work from.
struct PlayerSlot {
    PlayerRecord* record = nullptr;
    OwningPointerList<PlayerRecord>::Position position;
    uint64_t connection = 0;        // the map's key: address and port
    size_t bucket = 0;              // the bucket holding the map
    uint64_t serial = 0;            // order of creation: higher is newer
    uint64_t lastHeard = 0;         // order of the latest lookup: higher is later
    uint64_t watchedFor = 0;        // the sweep whose visit list it is on, 0 for none
    size_t watchIndex = 0;          // its place on that list
    size_t heldBytes = 0;           // as the record's last visit counted them
    QueueLink<PlayerSlot> silence;  // newcomers, regulars or kicked
    QueueLink<PlayerSlot> holding;  // holders of bytes, kicked or not, the latest heard first
};

// One bucket: the slots of the connections whose address keys hash into it, by connection.
using PlayerBucket = ConnectionIndex;

// One record per connection (source address and port), found on every frame of it and swept
// away when it is no longer followed. Players behind one address are followed each on their own;
// the key text, and so the bucket, is the address's, which the log shows. Lookups restart a
// record's idle timer; the sweep retires idle records and destroys, one pass later, those no longer
// active.
//
// Every connection that sends a frame gets a record, and a passive guard cannot tell a spoofed
// address from a player, so the table stays fast and bounded under a flood:
// - The key's hash picks one of ten buckets; within a bucket the record is found through an
//   index keyed by the connection with the table's own secret seed, so no choice of addresses
//   makes a lookup probe long, and a lookup allocates nothing.
// - Slots and records are kept for reuse when records go (records up to kSpareRecords, made
//   new in place), so a flood that keeps the table full allocates nothing per new address.
// - The sweep visits only the records that can have changed: those looked up since the last
//   sweep, those it retired itself, kicked ones, and those whose idle time has run out (the
//   longest silent, found from the back of the silence queues). It visits them as a walk of the
//   whole table would, newest first.
// - At most `maxRecords` records, holding at most `maxHeldBytes` apart from themselves. Over a
//   bound the record of the longest-silent address goes: for the count, first among addresses
//   seen only once, then among the others, kicked ones last; for bytes, among the records that
//   hold some, kicked ones first once they hold more than half. So an address that keeps
//   sending is never dropped while a more silent one is kept. Dropped records are counted.
//   The silence queues are in the order of the clock's seconds; a clock set back delays the
//   retirement of idle records, never the bounds.
class PlayerTable final : public HashedIndex<PlayerRecord, PlayerBucket, 10> {
  public:
    static constexpr size_t kSpareRecords = 1024;

    struct Limits {
        size_t maxRecords = 65536;
        size_t maxHeldBytes = size_t{64} << 20;
    };

    // Called by the sweep for a kicked player whose grace time has run out; clears `active`
    // once the removal is sent.
    using Disconnect = std::function<void(PlayerRecord&)>;

    explicit PlayerTable(const Clock& clock) : PlayerTable(clock, Limits{}) {}
    PlayerTable(const Clock& clock, Limits limits);
    ~PlayerTable() override;

    // The record of the address written as `key` ("a.b.c.d"), the newest of its connections if
    // it has several; or of one connection, "a.b.c.d:port".
    PlayerRecord* Find(std::string_view key) const override;
    size_t BucketOf(std::string_view key) const override;

    // The record of a connection, made with player id 0 when there is none.
    PlayerRecord& GetPlayer(AddressBytes address, uint16_t port = 0);
    // The record of a connection (made with `id` when there is none), its player id set to `id`.
    PlayerRecord& GetPlayerWithId(uint32_t id, AddressBytes address, uint16_t port = 0);
    // The record of a connection, made when there is none without a name yet: the first message
    // that names a player id names it (PlayerRecord::TakeId), as a record made for that id is.
    PlayerRecord& GetConnection(const ConnectionEnd& end);
    // The record of a connection if there is one, without making one or restarting its timer.
    PlayerRecord* FindConnection(const ConnectionEnd& end) const;

    // The live record whose connection the player id is bound to, if any: one still active
    // whose connection has not ended.
    PlayerRecord* IdOwner(uint32_t id) const;
    // Binds the id to the record's connection, in place of any id it had, taking it from a
    // connection that held it and no longer lives.
    void BindId(PlayerRecord& record, uint32_t id);
    // The connection ended or began again: its id is free.
    void ReleaseId(PlayerRecord& record);

    // Bytes held for the table's connections outside the records (fragments waiting for their
    // datagram), counted against the bound on held bytes.
    void SetHeldElsewhere(std::function<size_t()> heldElsewhere) {
        heldElsewhere_ = std::move(heldElsewhere);
    }

    void SetDisconnect(Disconnect disconnect) { disconnect_ = std::move(disconnect); }
    // One pass over the records that can have changed, newest first.
    void SweepPlayers();

    // The list of all records, newest first, with the table's cursor.
    const OwningPointerList<PlayerRecord>& records() const { return all_; }
    PlayerRecord* Newest() const { return all_.Front(); }

    // Records dropped to stay within the limits, since the start.
    uint64_t droppedRecords() const { return dropped_; }
    // Bytes the records held apart from themselves, as the latest sweep counted them.
    size_t heldBytes() const { return heldBytes_; }

  private:
    using Queue = IntrusiveQueue<PlayerSlot, &PlayerSlot::silence>;
    using HoldingQueue = IntrusiveQueue<PlayerSlot, &PlayerSlot::holding>;

    PlayerRecord& Lookup(std::optional<uint32_t> id, const ConnectionEnd& end);
    PlayerSlot* FindSlot(uint64_t connection, size_t bucket) const;
    // Lists a record for the next sweep's visit.
    void Watch(PlayerSlot& slot);
    void Visit(PlayerSlot& slot);
    void Destroy(PlayerSlot& slot);
    // Drops the record of the longest-silent address; false when there is none.
    bool DropForCount();
    bool DropForBytes();
    // Takes the record's bytes out of the counts and the holding queues.
    void ForgetHeldBytes(PlayerSlot& slot);

    // Brings the record that the next new address will drop into the cache.
    void PrefetchNextDrop() const;
    // A slot from the pool, and back.
    PlayerSlot& NewSlot();
    void FreeSlot(PlayerSlot& slot);

    const Clock& clock_;
    const Limits limits_;
    std::deque<PlayerSlot> slots_;           // every slot made, in place for good
    std::vector<PlayerSlot*> freeSlots_;     // those not in use
    OwningPointerList<PlayerRecord> spare_;  // records gone, kept to be made new
    Disconnect disconnect_;
    std::function<size_t()> heldElsewhere_;
    std::unordered_map<uint32_t, PlayerRecord*> idOwners_;  // at most one entry per record
    uint64_t nextSerial_ = 1;
    uint64_t sweep_ = 1;  // the number of the next sweep
    uint64_t dropped_ = 0;
    size_t heldBytes_ = 0;
    Queue newcomers_;             // seen in one lookup only, the latest first
    Queue regulars_;              // seen again, the most recently seen first
    Queue kicked_;                // waiting for their removal, the latest kicked first
    HoldingQueue holding_;        // records not kicked that hold bytes
    HoldingQueue kickedHolding_;  // kicked records that hold bytes
    size_t kickedHeldBytes_ = 0;
    std::vector<PlayerSlot*> watched_;     // for the next sweep
    std::vector<PlayerSlot*> visits_;      // the sweep's own list, kept to reuse its space
    std::vector<PlayerSlot*> newHolders_;  // records the sweep found holding bytes anew
    uint64_t lookups_ = 0;
};

}  // namespace korvane
