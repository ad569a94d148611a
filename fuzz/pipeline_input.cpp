#include "fuzz/pipeline_input.h"

#include <algorithm>

#include "tools/frame_builder.h"

namespace korvane::fuzz {

namespace {
void AppendU16(std::vector<uint8_t>& input, uint16_t value) {
    input.push_back(static_cast<uint8_t>(value));
    input.push_back(static_cast<uint8_t>(value >> 8));
}
}  // namespace

std::optional<PipelineStep> PipelineSteps::Next() {
    try {
        PipelineStep step;
        step.opcode = input_.U8(at_++) % 4;
        switch (step.opcode) {
            case PipelineInput::kFrame: {
                step.player = input_.U8(at_);
                step.shape = input_.U8(at_ + 1);
                const uint16_t length = input_.U16(at_ + 2);
                step.bytes = input_.Bytes(at_ + 4, length);
                at_ += 4 + size_t{length};
                break;
            }
            case PipelineInput::kBuffer: {
                const uint16_t length = input_.U16(at_);
                step.bytes = input_.Bytes(at_ + 2, length);
                at_ += 2 + size_t{length};
                break;
            }
            case PipelineInput::kClock:
                step.tenths = input_.U16(at_);
                at_ += 2;
                break;
            default:
                step.link = input_.U8(at_++);
                break;
        }
        return step;
    } catch (const TruncatedData&) {
        at_ = input_.size();
        return std::nullopt;
    }
}

std::vector<std::vector<uint8_t>> PipelineFrames::Next(const PipelineStep& step) {
    using Input = PipelineInput;
    const unsigned player = step.player % Input::kPlayers;
    const bool second = (step.player & Input::kSecondConnection) != 0;
    const unsigned flags = (step.player >> Input::kFlagShift) & Input::kFlagMask;
    tools::FrameSpec layout;
    layout.source = {Input::kFirstPlayerAddress + player,
                     static_cast<uint16_t>(Input::kFirstPlayerPort + player + (second ? 8 : 0))};
    layout.destination = {(step.shape & Input::kOtherAddress) != 0 ? Input::kOtherServerAddress
                                                                   : Input::kServerAddress,
                          static_cast<uint16_t>(Input::kServerPort +
                                                ((step.shape & Input::kOtherPort) != 0 ? 1 : 0))};
    // A payload that does not fit one IPv4 packet is cut to what does.
    constexpr size_t kMaxPayload = 65535 - 20 - 20 - 4 - 12;
    layout.payload.assign(
        step.bytes.begin(),
        step.bytes.begin() + static_cast<long>(std::min(step.bytes.size(), kMaxPayload)));
    if ((step.shape & Input::kTimestamps) != 0) {
        layout.tcpOptions = tools::TimestampOption(0x01020304, 0);
    }
    if ((step.shape & Input::kIpOption) != 0) {
        layout.ipOptions = {1, 1, 1, 0};  // NOP, NOP, NOP, end of options
    }
    constexpr uint8_t kFlags[] = {tools::kTcpPsh | tools::kTcpAck, tools::kTcpSyn,
                                  tools::kTcpFin | tools::kTcpAck, tools::kTcpRst};
    layout.tcpFlags = kFlags[flags];
    const unsigned connection = player + (second ? Input::kPlayers : 0);
    uint32_t& next = next_[connection];
    const auto length = static_cast<uint32_t>(layout.payload.size());
    const uint32_t serverSequence = 0x50000000u + connection * 0x01000000u;
    layout.acknowledgement = serverSequence + 1 + (length & 1);
    if ((step.player & Input::kBadChecksum) != 0) {
        layout.tcpChecksum = tools::TcpChecksum::wrong;
    }
    if ((step.player & Input::kFromServer) != 0) {
        std::swap(layout.source, layout.destination);
        layout.sequence = serverSequence;
        layout.acknowledgement = next;
        if (layout.tcpFlags == tools::kTcpSyn) {
            layout.tcpFlags = tools::kTcpSyn | tools::kTcpAck;
        }
    } else if ((step.shape & Input::kResend) != 0) {
        layout.sequence = next - length;
    } else if ((step.shape & Input::kAhead) != 0) {
        layout.sequence = next + length;
    } else {
        layout.sequence = next;
        next += length + (layout.tcpFlags == tools::kTcpSyn ? 1 : 0);
    }
    std::vector<uint8_t> frame = tools::BuildFrame(layout);
    std::vector<std::vector<uint8_t>> frames;
    const size_t ipPayload =
        frame.size() - tools::kEthernetHeaderLength - 20 - layout.ipOptions.size();
    if ((step.shape & Input::kFragments) != 0 && ipPayload > 8) {
        frames = tools::FragmentFrame(frame, (ipPayload - 1) / 2 / 8 * 8 + 8);
        if ((step.shape & Input::kResend) != 0) {
            std::swap(frames.front(), frames.back());
        }
    } else {
        frames.push_back(std::move(frame));
    }
    for (std::vector<uint8_t>& each : frames) {
        if ((step.shape & Input::kCutTo96) != 0 && each.size() > Input::kCutLength) {
            each.resize(Input::kCutLength);
        }
    }
    return frames;
}

void AppendFrameStep(std::vector<uint8_t>& input, uint8_t player, uint8_t shape,
                     std::span<const uint8_t> payload) {
    input.push_back(PipelineInput::kFrame);
    input.push_back(player);
    input.push_back(shape);
    AppendU16(input, static_cast<uint16_t>(payload.size()));
    input.insert(input.end(), payload.begin(), payload.end());
}

void AppendClockStep(std::vector<uint8_t>& input, uint16_t tenths) {
    input.push_back(PipelineInput::kClock);
    AppendU16(input, tenths);
}

}  // namespace korvane::fuzz
