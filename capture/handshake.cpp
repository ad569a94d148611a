#include "capture/handshake.h"

#include <algorithm>

namespace korvane {

void Handshake::ClientSyn(uint32_t sequence) {
    clientSequence_ = sequence;
    window_ = kUnseenWindow;
    stage_ = Stage::synSent;
}

void Handshake::ServerSynAck(uint32_t sequence, uint32_t acknowledgement, uint16_t window) {
    if (stage_ == Stage::established) {
        return;  // a late copy: the connection is open
    }
    if (stage_ != Stage::unseen && acknowledgement != clientSequence_ + 1) {
        return;  // it answers no SYN of this connection's that the capture showed
    }
    serverSequence_ = sequence;
    window_ = std::max<uint32_t>(window, kUnseenWindow);
    stage_ = Stage::synAcked;
}

bool Handshake::ClientAcknowledges(uint32_t acknowledgement) {
    if (stage_ == Stage::synAcked && acknowledgement == serverSequence_ + 1) {
        stage_ = Stage::established;
    }
    return stage_ == Stage::established;
}

void Handshake::ServerReset() {
    if (stage_ != Stage::established && stage_ != Stage::unseen) {
        stage_ = Stage::refused;
    }
}

}  // namespace korvane
