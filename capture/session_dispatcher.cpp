#include "capture/session_dispatcher.h"

#include <algorithm>
#include <string>

#include "capture/byte_reader.h"
#include "capture/session_message.h"
#include "platform/format.h"

namespace korvane {

namespace {
using Layout = SessionMessage;
constexpr size_t kPayload = FrameLayout::kPayloadOffset;
constexpr size_t kMaxNameUnits = PlayerRecord::kTextCapacity - 1;

// Calls `release` when it goes out of scope, however the join was left.
template <typename Release>
class OnLeaving {
  public:
    explicit OnLeaving(Release release) : release_(std::move(release)) {}
    ~OnLeaving() { release_(); }
    OnLeaving(const OnLeaving&) = delete;
    OnLeaving& operator=(const OnLeaving&) = delete;

  private:
    Release release_;
};
}  // namespace

std::optional<size_t> JoinFragments(const HeldFrame& first, const HeldFrame& second,
                                    std::span<uint8_t> buffer) {
    const int64_t total =
        static_cast<int64_t>(first.frameLength) + second.frameLength - 2 * kPayload;
    const HeldFrame* start = nullptr;
    const HeldFrame* rest = nullptr;
    if (total == first.messageSize) {
        start = &first;
        rest = &second;
    } else if (total == second.messageSize) {
        start = &second;
        rest = &first;
    } else {
        return std::nullopt;
    }
    const size_t joined = static_cast<size_t>(total) + kPayload;
    if (total < 0 || joined > buffer.size()) {
        return std::nullopt;  // a larger message than the buffer holds is dropped
    }
    const std::span<const uint8_t> head = ByteReader(start->data).Bytes(0, start->frameLength);
    const std::span<const uint8_t> tail =
        ByteReader(rest->data).Bytes(kPayload, rest->frameLength - kPayload);
    std::copy(head.begin(), head.end(), buffer.begin());
    std::copy(tail.begin(), tail.end(), buffer.begin() + static_cast<long>(head.size()));
    return joined;
}

void SessionDispatcher::DispatchMessage(std::span<const uint8_t> frame) {
    const ByteReader reader(frame);
    std::array<uint8_t, 4> address;
    const std::span<const uint8_t> source = reader.Bytes(FrameLayout::kSourceAddressOffset, 4);
    std::copy(source.begin(), source.end(), address.begin());

    const int32_t size = static_cast<int16_t>(reader.U16(kPayload + Layout::kSizeOffset));
    const uint16_t token = reader.U16(kPayload + Layout::kTokenOffset);
    const int32_t payloadLength = static_cast<int16_t>(frame.size() & 0xFFFF) - int32_t{kPayload};
    if (size != payloadLength) {
        HandlePiece(frame, size, token, address);
        return;
    }
    if (token != Layout::kToken) {
        return;
    }
    HandleWholeMessage(frame, address);
}

void SessionDispatcher::HandleWholeMessage(std::span<const uint8_t> frame,
                                           std::span<const uint8_t, 4> address) {
    const ByteReader message(ByteReader(frame).Rest(kPayload));
    const uint32_t signature = message.U32(Layout::kSignatureOffset);
    if (signature == Layout::kHostId) {
        return;  // the host's own messages
    }
    if (signature == Layout::kPlaySignature) {
        const uint16_t command = message.U16(Layout::kCommandOffset);
        if (command == Layout::kCommandCreatePlayer) {
            try {
                HandlePlayerCreation(message.Rest(0), static_cast<int32_t>(message.size()),
                                     address);
            } catch (...) {
                // A damaged creation message is dropped.
            }
        } else if (command == Layout::kCommandDeletePlayer) {
            PlayerRecord& record = players_.GetPlayer(address);
            if (record.playerId != 0) {
                console_.Write(StringPrintf("%08x User %s (%s) disconnected\n", record.playerId,
                                            record.name.c_str(), record.infoText.c_str()));
            }
            record.active = false;  // the next sweep removes it
        }
        return;
    }
    // The sender is looked up (and its record made) whatever becomes of the message.
    PlayerRecord& record = players_.GetPlayerWithId(signature, address);
    const uint32_t receiver = message.U32(Layout::kReceiverOffset);
    if ((receiver & 0xFFFF) == Layout::kHostId && handler_) {
        try {
            handler_(record, message.Rest(0));
        } catch (...) {
            // A message the handler could not take is dropped; later ones are not affected.
        }
    }
}

void SessionDispatcher::HandlePlayerCreation(std::span<const uint8_t> message, int32_t size,
                                             std::span<const uint8_t, 4> address) {
    if (size < static_cast<int32_t>(Layout::kNameOffset)) {
        return;
    }
    const ByteReader reader(message);
    const uint32_t id = reader.U32(Layout::kPlayerIdOffset);
    PlayerRecord& record = players_.GetPlayerWithId(id, address);

    // The name runs to its zero unit or the end of the message, whichever comes first.
    std::u16string wide;
    for (size_t at = Layout::kNameOffset; reader.Has(at, 2) && wide.size() < kMaxNameUnits;
         at += 2) {
        const char16_t unit = reader.U16(at);
        if (unit == 0) {
            break;
        }
        wide += unit;
    }
    std::string narrow;
    for (char16_t unit : wide) {
        if ((unit & 0xFF) == 0) {
            break;
        }
        narrow += static_cast<char>(unit & 0xFF);
    }
    record.SetNames(wide, narrow);
    console_.Write(StringPrintf("%08x User connected\n", id));
}

void SessionDispatcher::HandlePiece(std::span<const uint8_t> frame, int32_t size, uint16_t token,
                                    std::span<const uint8_t, 4> address) {
    PlayerRecord& record = players_.GetPlayer(address);
    if (record.firstFragment == nullptr) {
        if (token == Layout::kToken) {
            record.firstFragment = Hold(frame, size);
            record.fragmentPending = true;
        }
        return;
    }
    record.secondFragment = Hold(frame, size);
    const OnLeaving release([this, &record] { ReleasePieces(record); });
    if (std::optional<size_t> joined =
            JoinFragments(*record.firstFragment, *record.secondFragment, reassembly_)) {
        DispatchMessage(std::span<const uint8_t>(reassembly_.data(), *joined));
    }
}

std::unique_ptr<HeldFrame> SessionDispatcher::Hold(std::span<const uint8_t> frame, int32_t size) {
    for (std::unique_ptr<HeldFrame>& spare : spares_) {
        if (spare != nullptr) {
            spare->Hold(frame, size, reassembly_.size());
            return std::move(spare);
        }
    }
    return std::make_unique<HeldFrame>(frame, size, reassembly_.size());
}

void SessionDispatcher::ReleasePieces(PlayerRecord& record) {
    record.fragmentPending = false;
    for (std::unique_ptr<HeldFrame>* piece : {&record.firstFragment, &record.secondFragment}) {
        auto spare = std::find(spares_.begin(), spares_.end(), nullptr);
        if (spare != spares_.end()) {
            *spare = std::move(*piece);
        }
        piece->reset();
    }
}

}  // namespace korvane
