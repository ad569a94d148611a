#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "capture/intrusive_queue.h"

namespace korvane {

// Puts IPv4 datagrams sent in fragments back together the way the receiving host's IP layer
// does, so that what is read afterwards is what the server's own stack reassembled.
//
// A datagram is known by its source and destination addresses, protocol and identification.
// Its fragments may come in any order; it is complete once its first fragment (offset 0), its
// last (More Fragments clear) and everything between have come. A fragment that comes again
// over exactly the same range is ignored, the first copy standing. Any other overlap, a second
// end that differs from the first, bytes past the end or a datagram longer than 65,535 bytes
// drops the whole datagram; what is left of it is remembered (holding no bytes) until its time
// runs out, so that its later fragments are dropped too.
//
// What is held is bounded by Limits: datagrams, dropped ones remembered included, and bytes
// (fragment bytes, the first fragment's headers and the bookkeeping of each fragment and
// datagram). Past either bound the oldest datagram goes; a datagram dropped for bytes is
// remembered like one dropped for overlapping, one dropped for the count is forgotten.
class Ipv4Reassembly {
  public:
    struct Limits {
        size_t maxDatagrams = 256;          // datagrams waiting for fragments at once
        size_t maxBytes = size_t{4} << 20;  // bytes held for them at once
        int64_t timeoutMillis = 30000;      // a datagram waits this long from its first fragment
    };
    // Since the start.
    struct Counts {
        uint64_t completed = 0;
        uint64_t overlapping = 0;  // datagrams dropped for overlapping or inconsistent fragments
        uint64_t tooLong = 0;      // datagrams dropped for running past 65,535 bytes
        uint64_t timedOut = 0;     // datagrams never completed within the time
        uint64_t overBound = 0;    // datagrams dropped, and fragments too large even alone
        uint64_t malformed = 0;    // fragments whose headers do not hold together
    };

    Ipv4Reassembly();
    explicit Ipv4Reassembly(Limits limits);
    Ipv4Reassembly(const Ipv4Reassembly&) = delete;
    Ipv4Reassembly& operator=(const Ipv4Reassembly&) = delete;

    // Takes one captured Ethernet II frame carrying an IPv4 fragment (More Fragments set or a
    // non-zero offset) whose IPv4 header the caller found sound; `millis` is its capture time.
    // When it completes its datagram, the whole datagram as one frame, valid until the next
    // call: the first fragment's Ethernet and IPv4 headers (options kept) with the total
    // length of the whole, flags and offset cleared but for Don't Fragment as the first
    // fragment had it, and the header checksum made anew; then the datagram's payload.
    // A frame that is no fragment is handed back as it came.
    std::optional<std::span<const uint8_t>> Take(std::span<const uint8_t> frame, int64_t millis);

    size_t HeldBytes() const { return heldBytes_; }
    // Datagrams waiting for fragments, those remembered as dropped left out.
    size_t Waiting() const { return waiting_; }
    const Counts& counts() const { return counts_; }

  private:
    static constexpr size_t kBlocks = 65536 / 8;  // 8-byte blocks of a datagram's payload

    struct Key {
        uint32_t source = 0;
        uint32_t destination = 0;
        uint16_t identification = 0;
        uint8_t protocol = 0;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        size_t operator()(const Key& key) const;
    };
    struct Piece {
        uint32_t offset = 0;
        std::vector<uint8_t> bytes;
    };
    // The fragments of a datagram still waiting, none overlapping another.
    struct Assembly {
        std::vector<uint8_t> headers;  // the first fragment's Ethernet and IPv4 headers
        std::vector<Piece> pieces;     // as they came
        std::bitset<kBlocks> covered;  // the blocks the pieces cover
        size_t payloadBytes = 0;
        size_t held = 0;     // what it adds to HeldBytes
        uint32_t reach = 0;  // where the furthest piece ends
        uint32_t end = 0;    // the payload's length, once the last fragment came
        bool lastCame = false;
    };
    struct Datagram {
        Key key;
        int64_t since = 0;                   // the first fragment's capture time
        std::unique_ptr<Assembly> assembly;  // null once dropped
        QueueLink<Datagram> age;
    };
    // Newest at the front.
    using AgeQueue = IntrusiveQueue<Datagram, &Datagram::age>;

    // What holding a piece of `length` bytes costs, with the headers when it is the first.
    static size_t PieceCost(size_t length, size_t headers);
    void Expire(int64_t millis);
    // A new datagram, the oldest forgotten to make room for it; null when none can be held.
    Datagram* Open(const Key& key, int64_t millis);
    // Drops what a datagram holds, remembering it.
    void Drop(Datagram& datagram);
    void Forget(Datagram& datagram);
    // Makes room for `cost` more bytes by dropping the oldest datagrams; false when
    // `keep` itself had to go.
    bool MakeRoom(size_t cost, const Datagram& keep);
    // The whole datagram into whole_.
    std::span<const uint8_t> Assemble(Assembly& assembly);

    const Limits limits_;
    std::unordered_map<Key, Datagram, KeyHash> datagrams_;
    AgeQueue ages_;
    size_t heldBytes_ = 0;
    size_t waiting_ = 0;
    Counts counts_;
    std::vector<uint8_t> whole_;  // the latest datagram completed
};

}  // namespace korvane
