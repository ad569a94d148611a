#include "rules/variant_file.h"

#include <cstdio>
#include <memory>

#include "platform/format.h"

namespace korvane {

std::string VariantFileName(int64_t seconds, uint32_t playerId) {
    return StringPrintf("%llx.%08x.variant.mw4", static_cast<unsigned long long>(seconds),
                        playerId);
}

void VariantCollection::WriteVariantFile(const PlayerRecord& record) {
    if (!full_ && bytesWritten_ + record.configSize > maxBytes_) {
        full_ = true;
        log_.LogEvent(StringPrintf(
            "Warning: the variant files of this run hold %llu bytes, and the next would pass "
            "the bound of %llu; no further variant file is written",
            static_cast<unsigned long long>(bytesWritten_),
            static_cast<unsigned long long>(maxBytes_)));
    }
    if (full_) {
        return;
    }
    const std::string name = VariantFileName(clock_.Now().seconds, record.playerId);
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
        std::fopen((dir_ / name).string().c_str(), "w+b"), std::fclose);
    if (file == nullptr) {
        log_.LogEvent(StringPrintf("Could not open variant file %s\n", name.c_str()));
        return;
    }
    // The write counts only once it has reached the file: a full disk shows at the flush.
    const bool written = record.configData != nullptr &&
                         std::fwrite(record.configData->data(), 1, record.configSize, file.get()) ==
                             record.configSize &&
                         std::fflush(file.get()) == 0;
    if (!written) {
        log_.LogEvent(StringPrintf("Could not write variant file %s\n", name.c_str()));
        return;
    }
    bytesWritten_ += record.configSize;
    const LogPlayer player = record.ForLog();
    const EventField fields[] = {TextField("file", name), NumberField("size", record.configSize),
                                 TextField("chassis", record.chassisName.view()),
                                 TextField("variant", record.variantName.view())};
    log_.LogEvent(
        StringPrintf("Illegal variant %s %s written to file %s\n", record.chassisName.c_str(),
                     record.variantName.c_str(), name.c_str()),
        GuardEvent{EventKind::collected, &player, fields});
}

}  // namespace korvane
