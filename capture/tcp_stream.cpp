#include "capture/tcp_stream.h"

#include <algorithm>
#include <cstdlib>

#include "capture/byte_reader.h"
#include "capture/session_message.h"

namespace korvane {

namespace {
// The common header: size word, token, address block and the signature or sender.
constexpr int32_t kMinimumMessage = 20;
constexpr size_t kSizeAndToken = 4;
// Bytes of the largest message: the size word is read as a signed 16-bit number.
constexpr size_t kLargestMessage = 32767;
// A partial buffer larger than this is given back once its message is complete.
constexpr size_t kKeptPartialCapacity = 2048;
// Segments further than this from the next byte are taken for a new start, not for a gap.
constexpr int64_t kFarAway = int64_t{1} << 30;

// `a - b` in sequence space.
int64_t Distance(uint32_t a, uint32_t b) {
    return static_cast<int32_t>(a - b);
}

int32_t SizeWord(std::span<const uint8_t> bytes) {
    return static_cast<int16_t>(ByteReader(bytes).U16(SessionMessage::kSizeOffset));
}

bool ValidHeader(int32_t size, uint16_t token) {
    return size >= kMinimumMessage && token == SessionMessage::kToken;
}
}  // namespace

bool TcpStream::BeginsWithHeader(std::span<const uint8_t> bytes) {
    if (bytes.size() < kSizeAndToken) {
        return false;
    }
    const ByteReader reader(bytes);
    return ValidHeader(SizeWord(bytes), reader.U16(SessionMessage::kTokenOffset));
}

bool TcpStream::FramesInStep(std::span<const uint8_t> bytes) {
    while (bytes.size() >= kSizeAndToken) {
        if (!BeginsWithHeader(bytes)) {
            return false;
        }
        const size_t size = static_cast<size_t>(SizeWord(bytes));
        if (size >= bytes.size()) {
            return true;  // it ends with this message, whole or not
        }
        bytes = bytes.subspan(size);
    }
    return bytes.size() < 2 || SizeWord(bytes) >= kMinimumMessage;
}

size_t TcpStream::HeldBytes() const {
    size_t bytes = partial_.capacity() + ahead_.capacity() * sizeof(Held);
    for (const Held& held : ahead_) {
        bytes += held.bytes.capacity();
    }
    return bytes;
}

TcpStream::Outcome TcpStream::Take(const TcpSegment& segment, const Limits& limits, Sink& sink) {
    Outcome outcome;
    uint32_t sequence = segment.sequence;
    std::span<const uint8_t> data = segment.payload;
    bool fin = segment.fin;
    if (state_ == State::inStep || state_ == State::outOfStep) {
        const int64_t distance = Distance(sequence, next_);
        // Beyond the window, or an RST that is not where the stream goes on: the server drops
        // it, so a blind sender can neither move the stream on nor end it.
        if ((!segment.syn && distance >= static_cast<int64_t>(segment.window)) ||
            (segment.rst && distance < 0)) {
            outcome.outsideWindow = true;
            GiveUpWaitedGaps(segment.millis, limits, sink, outcome);
            return outcome;
        }
        // A FIN that ends before the next byte is an old copy's.
        fin = fin && Distance(sequence + static_cast<uint32_t>(data.size()), next_) >= 0;
    }
    if (segment.rst) {
        Release(sequence);
        return outcome;
    }
    if (segment.syn) {
        // A new connection on this port: whatever the old one held is gone.
        Release(sequence);
        Anchor(++sequence, false);
    }
    if (fin) {
        finSeen_ = true;
        finAt_ = sequence + static_cast<uint32_t>(data.size());
    }

    if (state_ == State::closed) {
        // After the end only a new start counts: a connection whose handshake was not seen.
        if (data.empty() || Distance(sequence, next_) < 0 || !FramesInStep(data)) {
            return outcome;
        }
        finSeen_ = fin;
        Anchor(sequence, true);
    } else if (state_ == State::unanchored) {
        if (FramesInStep(data)) {
            Anchor(sequence, true);
        } else if (!data.empty()) {
            if (!ahead_.empty() &&
                std::abs(Distance(sequence, ahead_.front().sequence)) > kFarAway) {
                Release(0);
                state_ = State::unanchored;
            }
            if (ahead_.empty()) {
                waitingSince_ = segment.millis;
            }
            // Kept until a segment before or at it shows where a message begins.
            Hold(sequence, data, true, outcome);
            if (OverBounds(limits)) {
                outcome.overBound = true;
                Release(0);
                state_ = State::unanchored;
            }
            return outcome;
        } else {
            return outcome;
        }
    }

    int64_t distance = Distance(sequence, next_);
    if (distance < 0 && provisional_ && !partial_.empty() && BeginsWithHeader(data) &&
        next_ - anchor_ == partial_.size() &&
        Distance(sequence + static_cast<uint32_t>(data.size()), anchor_) >= 0) {
        // A connection just found, whose first bytes taken were the later part of a message: an
        // earlier segment that reaches them and begins with a header is where it begins.
        Held taken;
        taken.sequence = anchor_;
        taken.segmentStart = true;
        taken.bytes.assign(partial_.begin(), partial_.end());
        aheadBytes_ += taken.bytes.size();
        ahead_.insert(ahead_.begin(), std::move(taken));
        if (ahead_.size() == 1) {
            waitingSince_ = segment.millis;
        }
        Anchor(sequence, true);
        distance = 0;
    }
    bool segmentStart = true;
    if (distance < 0) {
        // Bytes taken already: dropped, the first copy standing.
        const size_t taken = static_cast<size_t>(std::min<int64_t>(-distance, data.size()));
        if (DiffersFromPartial(sequence, data.first(taken))) {
            outcome.differingCopy = true;
        }
        data = data.subspan(taken);
        sequence += static_cast<uint32_t>(taken);
        segmentStart = false;
    } else if (static_cast<size_t>(distance) > limits.maxAheadBytes) {
        // Beyond anything the bounds would hold: what was missed is given up, and the stream
        // goes on from this segment.
        if (!ahead_.empty()) {
            GiveUpGap(segment.millis, sink, outcome);
        }
        if (Distance(sequence, next_) > 0) {
            ahead_.clear();
            aheadBytes_ = 0;
            OutOfStep(outcome);
            next_ = sequence;
        }
    }

    if (!data.empty()) {
        if (sequence == next_ && ahead_.empty()) {
            TakeInOrder(data, segmentStart, sink, outcome);
        } else {
            if (ahead_.empty()) {
                waitingSince_ = segment.millis;
            }
            Hold(sequence, data, segmentStart, outcome);
            Drain(sink, outcome);
        }
    }
    GiveUpWaitedGaps(segment.millis, limits, sink, outcome);
    if (finSeen_ && ahead_.empty() && Distance(next_, finAt_) >= 0) {
        Release(finAt_);  // drained
    }
    return outcome;
}

void TcpStream::GiveUpWaitedGaps(int64_t now, const Limits& limits, Sink& sink, Outcome& outcome) {
    // Each give-up takes at least the first held segment, so this ends within the bounds.
    while (!ahead_.empty() && (OverBounds(limits) || now - waitingSince_ > limits.gapMillis)) {
        outcome.overBound |= OverBounds(limits);
        GiveUpGap(now, sink, outcome);
    }
}

void TcpStream::Anchor(uint32_t sequence, bool provisional) {
    state_ = State::inStep;
    next_ = sequence;
    anchor_ = sequence;
    provisional_ = provisional;
    partial_.clear();
    // Held bytes before the anchor are never read.
    std::erase_if(ahead_, [&](const Held& held) {
        return Distance(held.sequence + static_cast<uint32_t>(held.bytes.size()), sequence) <= 0;
    });
    if (ahead_.empty()) {
        ahead_ = std::vector<Held>();
    }
    aheadBytes_ = 0;
    for (Held& held : ahead_) {
        if (const int64_t before = Distance(sequence, held.sequence); before > 0) {
            held.bytes.erase(held.bytes.begin(), held.bytes.begin() + before);
            held.sequence = sequence;
            held.segmentStart = false;
        }
        aheadBytes_ += held.bytes.size();
    }
}

void TcpStream::Release(uint32_t next) {
    state_ = State::closed;
    next_ = next;
    finSeen_ = false;
    partial_ = std::vector<uint8_t>();
    ahead_ = std::vector<Held>();
    aheadBytes_ = 0;
}

void TcpStream::Hold(uint32_t sequence, std::span<const uint8_t> bytes, bool segmentStart,
                     Outcome& outcome) {
    // Offsets from the first byte of the new bytes.
    const int64_t end = static_cast<int64_t>(bytes.size());
    int64_t at = 0;
    auto place = ahead_.begin();
    while (at < end) {
        // The first held segment that ends after `at`.
        while (place != ahead_.end() &&
               Distance(place->sequence, sequence) + static_cast<int64_t>(place->bytes.size()) <=
                   at) {
            ++place;
        }
        const int64_t heldFrom = place == ahead_.end() ? end : Distance(place->sequence, sequence);
        if (heldFrom > at) {
            const int64_t until = std::min(heldFrom, end);
            Held piece;
            piece.sequence = sequence + static_cast<uint32_t>(at);
            piece.segmentStart = segmentStart && at == 0;
            piece.bytes.assign(bytes.begin() + at, bytes.begin() + until);
            aheadBytes_ += piece.bytes.size();
            place = ahead_.insert(place, std::move(piece)) + 1;
            at = until;
            continue;
        }
        // Held already from `at` on: the first copy stands.
        const int64_t heldEnd = heldFrom + static_cast<int64_t>(place->bytes.size());
        const int64_t until = std::min(heldEnd, end);
        if (!std::equal(bytes.begin() + at, bytes.begin() + until,
                        place->bytes.begin() + (at - heldFrom))) {
            outcome.differingCopy = true;
        }
        at = until;
    }
}

bool TcpStream::OverBounds(const Limits& limits) const {
    return aheadBytes_ > limits.maxAheadBytes || ahead_.size() > limits.maxAheadSegments;
}

void TcpStream::TakeInOrder(std::span<const uint8_t> bytes, bool segmentStart, Sink& sink,
                            Outcome& outcome) {
    next_ += static_cast<uint32_t>(bytes.size());
    if (state_ == State::outOfStep) {
        if (!segmentStart || !BeginsWithHeader(bytes)) {
            return;  // still out of step: dropped
        }
        state_ = State::inStep;
    }
    while (!bytes.empty()) {
        if (!partial_.empty()) {
            // Complete the header first, then the message.
            if (partial_.size() < kSizeAndToken) {
                const size_t more = std::min(kSizeAndToken - partial_.size(), bytes.size());
                partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + more);
                bytes = bytes.subspan(more);
                if (partial_.size() < kSizeAndToken) {
                    return;
                }
                if (!BeginsWithHeader(partial_)) {
                    OutOfStep(outcome);
                    return;
                }
                partial_.reserve(static_cast<size_t>(SizeWord(partial_)));
            }
            const size_t size = static_cast<size_t>(SizeWord(partial_));
            const size_t more = std::min(size - partial_.size(), bytes.size());
            partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + more);
            bytes = bytes.subspan(more);
            if (partial_.size() < size) {
                return;
            }
            provisional_ = false;
            sink.Message(partial_);
            partial_.clear();
            if (partial_.capacity() > kKeptPartialCapacity) {
                partial_.shrink_to_fit();
            }
            continue;
        }
        if (bytes.size() < kSizeAndToken) {
            if (bytes.size() >= 2 && SizeWord(bytes) < kMinimumMessage) {
                OutOfStep(outcome);
                return;
            }
            partial_.assign(bytes.begin(), bytes.end());
            return;
        }
        if (!BeginsWithHeader(bytes)) {
            OutOfStep(outcome);
            return;
        }
        const size_t size = static_cast<size_t>(SizeWord(bytes));
        if (bytes.size() < size) {
            partial_.reserve(std::min(size, kLargestMessage));
            partial_.assign(bytes.begin(), bytes.end());
            return;
        }
        provisional_ = false;
        sink.Message(bytes.first(size));
        bytes = bytes.subspan(size);
    }
}

void TcpStream::Drain(Sink& sink, Outcome& outcome) {
    while (!ahead_.empty() && ahead_.front().sequence == next_) {
        Held front = std::move(ahead_.front());
        ahead_.erase(ahead_.begin());
        aheadBytes_ -= front.bytes.size();
        TakeInOrder(front.bytes, front.segmentStart, sink, outcome);
    }
    if (ahead_.empty()) {
        ahead_ = std::vector<Held>();  // nothing out of order is held any more
    }
}

void TcpStream::GiveUpGap(int64_t now, Sink& sink, Outcome& outcome) {
    outcome.gapGivenUp = true;
    partial_.clear();  // the message spanning the gap is lost
    OutOfStep(outcome);
    next_ = ahead_.front().sequence;
    Drain(sink, outcome);
    waitingSince_ = now;  // a gap further on waits from now
}

void TcpStream::OutOfStep(Outcome& outcome) {
    outcome.gapGivenUp = true;
    state_ = State::outOfStep;
    partial_.clear();
}

bool TcpStream::DiffersFromPartial(uint32_t sequence, std::span<const uint8_t> bytes) const {
    // partial_ holds the bytes just before next_.
    const uint32_t partialStart = next_ - static_cast<uint32_t>(partial_.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const int64_t at = Distance(sequence + static_cast<uint32_t>(i), partialStart);
        if (at >= 0 && at < static_cast<int64_t>(partial_.size()) &&
            partial_[static_cast<size_t>(at)] != bytes[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace korvane
