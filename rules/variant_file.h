#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "app/event_log.h"
#include "capture/player_record.h"
#include "platform/clock.h"

namespace korvane {

// The name a collected variant is saved under: the clock's seconds in hexadecimal, the player
// id in eight hexadecimal digits, ".variant.mw4".
std::string VariantFileName(int64_t seconds, uint32_t playerId);

// The suspicious uploads a run saves with "/collect", each to a file of its own in the working
// directory. What a run keeps is bounded: a player who uploads illegal variants again and again
// would otherwise write 16 KiB files without end. Once the files written hold the bound, no
// further file is written, and one warning says so; the verdicts, kicks and log lines go on.
class VariantCollection {
  public:
    // 1,024 uploads of the largest size.
    static constexpr uint64_t kMaxBytes = 16 * 1024 * 1024;

    VariantCollection(const Clock& clock, EventLog& log, std::filesystem::path dir,
                      uint64_t maxBytes = kMaxBytes)
        : clock_(clock), log_(log), dir_(std::move(dir)), maxBytes_(maxBytes) {}

    // Saves the player's uploaded configuration, byte for byte (replacing a file of the same
    // name), and logs what became of it. A file that cannot be written costs only its log line.
    void WriteVariantFile(const PlayerRecord& record);

    // The bytes of the files written so far; a file written again under its name counts again.
    uint64_t bytesWritten() const { return bytesWritten_; }

  private:
    const Clock& clock_;
    EventLog& log_;
    std::filesystem::path dir_;
    uint64_t maxBytes_;
    uint64_t bytesWritten_ = 0;
    bool full_ = false;  // the bound was reached: no file from now on, however small
};

}  // namespace korvane
