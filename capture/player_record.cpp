#include "capture/player_record.h"

#include "capture/network_text.h"
#include "platform/format.h"

namespace korvane {

// A record costs this much however many records there are: the configuration, the only large
// part, lives apart and only when a decoding needs it.
static_assert(sizeof(PlayerRecord) <= 1024);

namespace {

// A player id as eight lowercase hex digits, as "%08x" writes it: a record is made for every
// new address, so without the formatting machinery.
std::string_view HexId(uint32_t id, std::array<char, 8>& out) {
    constexpr char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < out.size(); ++i) {
        out[out.size() - 1 - i] = kDigits[(id >> (4 * i)) & 0xF];
    }
    return {out.data(), out.size()};
}

}  // namespace

PlayerRecord::PlayerRecord(uint32_t id, const Clock& clock)
    : playerId(id), idleTimer(clock, kIdleSeconds) {
    std::array<char, 8> hex{};
    name.Set(HexId(id, hex));
}

PlayerRecord::ConfigData& PlayerRecord::EnsureConfigData() {
    if (configData == nullptr) {
        configData = std::make_unique<ConfigData>();
    }
    return *configData;
}

void PlayerRecord::SetNames(std::u16string_view wide, std::string_view narrow) {
    nameWide.Set(SafeNetworkText(wide.substr(0, kTextCapacity - 1)));
    name.Set(SafeNetworkText(narrow.substr(0, kTextCapacity - 1)));
}

size_t PlayerRecord::HeldBytes() const {
    size_t bytes = configPart1.capacity() + configPart2.capacity() + configPart3.capacity();
    if (configData != nullptr) {
        bytes += sizeof(ConfigData);
    }
    bytes += stream.HeldBytes();
    pendingSelections.ForEach([&bytes](const QueuedSelection& queued) {
        bytes += sizeof(QueuedSelection) + queued.data.capacity();
    });
    return bytes;
}

void PlayerRecord::TakeId(uint32_t id) {
    if (!named_) {
        std::array<char, 8> hex{};
        name.Set(HexId(id, hex));
        named_ = true;
    }
    playerId = id;
}

LogPlayer PlayerRecord::ForLog() const {
    LogPlayer player;
    player.playerId = playerId;
    player.nameWide = nameWide.view();
    player.infoText = infoText.view();
    std::copy(ipAddress.begin(), ipAddress.end(), player.ipAddress);
    player.port = port;
    player.fragmentPending = fragmentPending;
    return player;
}

}  // namespace korvane
