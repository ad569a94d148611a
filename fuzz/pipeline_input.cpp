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

std::vector<uint8_t> PipelineFrames::Next(const PipelineStep& step) {
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
    uint32_t& next = next_[player + (second ? Input::kPlayers : 0)];
    const auto length = static_cast<uint32_t>(layout.payload.size());
    if ((step.shape & Input::kResend) != 0) {
        layout.sequence = next - length;
    } else if ((step.shape & Input::kAhead) != 0) {
        layout.sequence = next + length;
    } else {
        layout.sequence = next;
        next += length + (layout.tcpFlags == tools::kTcpSyn ? 1 : 0);
    }
    std::vector<uint8_t> frame = tools::BuildFrame(layout);
    if ((step.shape & Input::kCutTo96) != 0 && frame.size() > Input::kCutLength) {
        frame.resize(Input::kCutLength);
    }
    return frame;
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
