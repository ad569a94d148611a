#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "app/event_log.h"
#include "capture/fixed_text.h"
#include "capture/handshake.h"
#include "capture/idle_timer.h"
#include "capture/pointer_list.h"
#include "capture/queued_selection.h"
#include "capture/tcp_stream.h"
#include "platform/clock.h"

namespace korvane {

// Everything the program knows about the player behind one connection: the client's address and
// port.
class PlayerRecord {
  public:
    static constexpr int32_t kIdleSeconds = 7800;
    static constexpr size_t kConfigDataBytes = 16384;
    static constexpr size_t kTextCapacity = 64;
    static constexpr size_t kAddressKeyCapacity = 32;

    using Address = std::array<uint8_t, 4>;  // IPv4, wire order
    using ConfigData = std::array<uint8_t, kConfigDataBytes>;

    // Made for a connection before any message named a player id.
    struct Unnamed {};
    static constexpr Unnamed kUnnamed{};

    PlayerRecord(uint32_t id, const Clock& clock);
    PlayerRecord(Unnamed, const Clock& clock) : PlayerRecord(0, clock) { named_ = false; }
    virtual ~PlayerRecord() = default;
    PlayerRecord(const PlayerRecord&) = delete;
    PlayerRecord& operator=(const PlayerRecord&) = delete;

    // The assembled configuration, allocated when a decoding needs it and released when the
    // decoding ends: a record must stay small however many addresses send frames.
    ConfigData& EnsureConfigData();

    // Stores a name from a creation message, cut to fit and with control characters replaced.
    void SetNames(std::u16string_view wide, std::string_view narrow);

    // The bytes the record holds apart from itself: configuration pieces and data, held frames
    // and queued pieces. A player's traffic can make these grow, each within its own bound.
    size_t HeldBytes() const;

    // The player's identity as a log line shows it.
    LogPlayer ForLog() const;

    // A message named the connection's player id. The first id names a record that has no name
    // yet, as a record made for that id is named.
    void TakeId(uint32_t id);
    // A message of the connection that names no id: the record keeps the name it has.
    void MarkNamed() { named_ = true; }

    // Whether the connection's bytes are taken for the server's: a record whose connection is
    // not trusted is no player, whatever its frames carried.
    enum class Trust : uint8_t {
        undecided,  // nothing of the connection handed on yet
        trusted,    // its handshake was completed, or it is followed on continuity
        untrusted,  // a connection the server did not open, or that turned up late without one
    };
    bool Trusted() const { return trust == Trust::trusted; }

    uint32_t configLength1 = 0;
    uint32_t configLength2 = 0;
    uint32_t configLength3 = 0;
    std::vector<uint8_t> configPart1;
    std::vector<uint8_t> configPart2;
    std::vector<uint8_t> configPart3;
    std::unique_ptr<ConfigData> configData;  // only while a decoding runs
    uint32_t configSize = 0;
    FixedWideText<kTextCapacity> nameWide{u"Unknown"};
    FixedText<kTextCapacity> name;
    FixedText<kTextCapacity> infoText{"Unknown"};
    int16_t selectionSequence = 0;
    FixedText<kTextCapacity> chassisName{"Unknown"};
    FixedText<kTextCapacity> variantName{"Unknown"};
    int32_t chassisIndex = -1;
    int32_t configOk = 1;
    FixedText<kAddressKeyCapacity> addressKey;
    Address ipAddress{};
    uint16_t port = 0;  // the client's TCP port
    uint32_t playerId;
    bool active = true;
    bool fragmentPending = false;
    bool greeted = false;
    uint32_t chassisTech = 0;
    uint32_t componentTech = 0;
    uint32_t previousChassisTech = 0;
    uint32_t previousComponentTech = 0;
    bool kickPending = false;
    // What the server's TCP has read of the connection, and what it holds back.
    TcpStream stream;
    bool differingCopyWarned = false;  // the connection's one warning of a differing copy
    Handshake handshake;
    // The Ethernet address the connection's frames to the server arrive at: the server's own
    // frames to the client leave from it.
    std::array<uint8_t, 6> serverMac{};
    Trust trust = Trust::trusted;   // records made for a connection start undecided
    bool untrustedCounted = false;  // counted once among the connections not trusted
    // The player id bound to the connection: by its creation message, or the first id it used.
    uint32_t boundId = 0;
    bool idBound = false;
    bool forgedIdWarned = false;  // the connection's one warning of a message in another id
    IdleTimer idleTimer;
    // Configuration pieces that came before their turn, the most recently queued first.
    OwningPointerList<QueuedSelection> pendingSelections;
    // Pieces dropped from a full queue since the last complete upload.
    uint32_t droppedSelections = 0;

  private:
    bool named_ = true;
};

}  // namespace korvane
