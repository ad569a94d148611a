#pragma once

#include <filesystem>
#include <string>

#include "app/event_log.h"
#include "capture/player_record.h"
#include "platform/clock.h"

namespace korvane {

// The name a collected variant is saved under: the clock's seconds in hexadecimal, the player
// id in eight hexadecimal digits, ".variant.mw4".
std::string VariantFileName(int64_t seconds, uint32_t playerId);

// Saves the player's uploaded configuration, byte for byte, to a file of its own in `dir`
// (replacing one of the same name) and logs what became of it. A file that cannot be written
// costs only its log line.
void WriteVariantFile(const PlayerRecord& record, const Clock& clock, EventLog& log,
                      const std::filesystem::path& dir);

}  // namespace korvane
