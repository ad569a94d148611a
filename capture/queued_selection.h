#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvane {

// A kept copy of one whole game message that arrived before its turn (a configuration piece
// whose sequence number was not the one expected yet). Its length is the copy's size.
class QueuedSelection {
  public:
    explicit QueuedSelection(std::span<const uint8_t> message)
        : data(message.begin(), message.end()) {}
    virtual ~QueuedSelection() = default;

    std::vector<uint8_t> data;
};

}  // namespace korvane
