#include "rules/variant_file.h"

#include <cstdio>
#include <memory>

#include "platform/format.h"

namespace korvane {

std::string VariantFileName(int64_t seconds, uint32_t playerId) {
    return StringPrintf("%llx.%08x.variant.mw4", static_cast<unsigned long long>(seconds),
                        playerId);
}

void WriteVariantFile(const PlayerRecord& record, const Clock& clock, EventLog& log,
                      const std::filesystem::path& dir) {
    const std::string name = VariantFileName(clock.Now().seconds, record.playerId);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen((dir / name).string().c_str(), "w+b"), std::fclose);
    if (file == nullptr) {
        log.LogEvent(StringPrintf("Could not open variant file %s\n", name.c_str()));
        return;
    }
    // The write counts only once it has reached the file: a full disk shows at the flush.
    const bool written = record.configData != nullptr &&
                         std::fwrite(record.configData->data(), 1, record.configSize, file.get()) ==
                             record.configSize &&
                         std::fflush(file.get()) == 0;
    if (!written) {
        log.LogEvent(StringPrintf("Could not write variant file %s\n", name.c_str()));
        return;
    }
    log.LogEvent(StringPrintf("Illegal variant %s %s written to file %s\n",
                              record.chassisName.c_str(), record.variantName.c_str(), name.c_str()),
                 record.ForLog());
}

}  // namespace korvane
