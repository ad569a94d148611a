#include "rules/variant_decoder.h"

#include <algorithm>
#include <cstring>

#include "capture/byte_reader.h"
#include "platform/format.h"
#include "rules/catalogue.h"
#include "rules/selection_handler.h"
#include "rules/tech_class.h"
#include "rules/variant_file.h"

namespace korvane {

namespace {
using Layout = VariantContainer;

// Ends every decoding, however it is left: the pieces and the joined image are released and
// the lengths cleared, so the next upload starts from nothing and a player between uploads
// holds no configuration bytes at all, and the directory is forgotten.
class EndOfDecoding {
  public:
    EndOfDecoding(PlayerRecord& record, VariantDirectory& directory)
        : record_(record), directory_(directory) {}
    ~EndOfDecoding() {
        for (std::vector<uint8_t>* piece :
             {&record_.configPart1, &record_.configPart2, &record_.configPart3}) {
            std::vector<uint8_t>().swap(*piece);
        }
        record_.configData.reset();
        record_.configLength1 = 0;
        record_.configLength2 = 0;
        record_.configLength3 = 0;
        directory_.Release();
    }
    EndOfDecoding(const EndOfDecoding&) = delete;
    EndOfDecoding& operator=(const EndOfDecoding&) = delete;

  private:
    PlayerRecord& record_;
    VariantDirectory& directory_;
};

}  // namespace

std::optional<uint32_t> ChassisIdOf(SectionExpander& expander, const VariantSection& section) {
    const std::optional<size_t> expanded = expander.ExpandSection(section.stored);
    const ByteReader chassisRecord(expander.Expanded(expanded.value_or(0)));
    if (!expanded || !chassisRecord.Has(Layout::kChassisIdOffset, 4)) {
        return std::nullopt;
    }
    return chassisRecord.U32(Layout::kChassisIdOffset);
}

void VariantDecoder::DecodeVariant(PlayerRecord& record) {
    const EndOfDecoding end(record, directory_);
    refusal_.clear();
    const uint64_t total =
        uint64_t{record.configLength1} + record.configLength2 + record.configLength3;
    if (total > PlayerRecord::kConfigDataBytes) {
        outcome_ = DecodeOutcome::oversized;
        RefuseOversized(record, total);
        return;
    }
    outcome_ = DecodeOutcome::tooShort;
    if (total < Layout::kMagic.size()) {
        return;  // too short to be a container
    }
    // Within the limit every piece holds all its bytes (the piece stores let a piece's bytes go
    // only beyond it), so the image is exactly `total` bytes.
    const size_t stored =
        record.configPart1.size() + record.configPart2.size() + record.configPart3.size();
    if (stored != total) {
        return;
    }
    PlayerRecord::ConfigData& data = record.EnsureConfigData();
    auto out = data.begin();
    for (const std::vector<uint8_t>* piece :
         {&record.configPart1, &record.configPart2, &record.configPart3}) {
        out = std::copy(piece->begin(), piece->end(), out);
    }
    if (std::memcmp(data.data(), Layout::kMagic.data(), Layout::kMagic.size()) != 0) {
        outcome_ = DecodeOutcome::notContainer;
        return;  // not a variant container: dropped without a word
    }
    record.configOk = 1;
    record.configSize = static_cast<uint32_t>(total);

    // A section whose bytes lie outside the upload makes it as inconsistent as a directory whose
    // lengths do not add up: no verdict, and with "/collect" a file to look into.
    const std::span<const uint8_t> container(data.data(), record.configSize);
    if (directory_.ParseVariantDirectory(container) != total || !directory_.sectionsInside()) {
        outcome_ = DecodeOutcome::inconsistent;
        if (services_.settings.collectVariants) {
            collection_.WriteVariantFile(record);
        }
        return;
    }
    // Damaged content ends the stage it is found in and never the program.
    outcome_ = DecodeOutcome::noChassisSection;
    try {
        if (!TakeNameAndChassis(record)) {
            return;
        }
    } catch (...) {
        return;
    }
    try {
        CheckAndReport(record);
    } catch (...) {
        // The verdict rests on what was checked before.
    }
    if (record.configOk == 0) {
        RefuseInvalid(record);
    }
}

bool VariantDecoder::TakeNameAndChassis(PlayerRecord& record) {
    const std::span<const VariantSection> sections = directory_.sections();
    if (sections.size() <= Layout::kNameSection) {
        return false;
    }
    SetVariantName(record, Layout::VariantNameIn(sections[Layout::kNameSection].name));

    if (sections.size() <= Layout::kChassisSection) {
        return false;
    }
    outcome_ = DecodeOutcome::chassisUnreadable;
    const std::optional<uint32_t> chassisId =
        ChassisIdOf(expander_, sections[Layout::kChassisSection]);
    if (!chassisId) {
        return false;
    }
    if (!LookUpVariantChassis(record, *chassisId)) {
        outcome_ = DecodeOutcome::unknownChassis;
        services_.log.LogEvent(StringPrintf("Could not determine chassis %08x", *chassisId));
        return false;
    }
    outcome_ = DecodeOutcome::componentsUnreadable;
    return true;
}

void VariantDecoder::CheckAndReport(PlayerRecord& record) {
    const std::span<const VariantSection> sections = directory_.sections();
    if (sections.size() <= Layout::kComponentSection) {
        return;
    }
    const std::optional<size_t> expanded =
        expander_.ExpandSection(sections[Layout::kComponentSection].stored);
    if (!expanded) {
        return;
    }
    outcome_ = DecodeOutcome::judged;
    // An entry cut short throws: the verdict rests on the entries before it, and no report.
    check_.CheckComponents(record, expander_.Expanded(*expanded));
    if (record.configOk != 0) {
        const LogPlayer player = record.ForLog();
        const EventField fields[] = {FlagField("valid", true),
                                     TextField("chassis", record.chassisName.view()),
                                     TextField("variant", record.variantName.view())};
        services_.log.Record({EventKind::verdict, &player, fields});
        ReportValid(record);
    }
}

void VariantDecoder::ReportValid(const PlayerRecord& record) {
    const RunSettings& settings = services_.settings;
    const TechClass techClass = ClassOf(record.chassisTech, record.componentTech);
    std::string text = StringPrintf("%s selected ", record.name.c_str());
    if (settings.reportSelections) {
        text += StringPrintf("%s Variant ", record.chassisName.c_str());
        if (settings.puretech) {
            text += "(" + std::string(techClass.label) + ")";
        }
    } else if (settings.puretech) {
        if (record.componentTech == record.previousComponentTech &&
            record.chassisTech == record.previousChassisTech) {
            return;  // nothing changed since the player's previous selection
        }
        text += techClass.label;
    } else {
        return;
    }
    services_.chat.SendReply(record.playerId, text, techClass.mixed() && settings.puretech);
}

void VariantDecoder::RefuseInvalid(PlayerRecord& record) {
    const LogPlayer player = record.ForLog();
    const SubsystemRule* forbidden = check_.forbidden();
    const EventField fields[] = {
        FlagField("valid", false),
        TextField("chassis", record.chassisName.view()),
        TextField("variant", record.variantName.view()),
        TextField("reason", "Illegal components"),
        TextField("subsystem", forbidden != nullptr ? forbidden->label : ""),
        TextField("detail", rejectReason_.view())};
    services_.log.LogEvent(StringPrintf("%s config '%s' is INVALID: Illegal components",
                                        record.chassisName.c_str(), record.variantName.c_str()),
                           GuardEvent{EventKind::verdict, &player, fields});
    if (services_.settings.collectVariants) {
        collection_.WriteVariantFile(record);
    }
    refusal_ = StringPrintf("%s on '%s'", rejectReason_.c_str(), record.variantName.c_str());
    Kick(record, refusal_);
}

void VariantDecoder::RefuseOversized(PlayerRecord& record, uint64_t total) {
    const LogPlayer player = record.ForLog();
    const EventField fields[] = {
        FlagField("valid", false), TextField("chassis", record.chassisName.view()),
        TextField("variant", record.variantName.view()), TextField("reason", "Too much data"),
        NumberField("size", static_cast<int64_t>(total))};
    services_.log.LogEvent(
        StringPrintf("%s config '%s' is INVALID: Too much data (%llu)", record.chassisName.c_str(),
                     record.variantName.c_str(), static_cast<unsigned long long>(total)),
        GuardEvent{EventKind::verdict, &player, fields});
    refusal_ = StringPrintf("Something funky with that %s '%s'", record.chassisName.c_str(),
                            record.variantName.c_str());
    Kick(record, refusal_);
}

void VariantDecoder::Kick(PlayerRecord& record, std::string_view reason) {
    if (record.kickPending) {
        return;  // already on the way out
    }
    const LogPlayer player = record.ForLog();
    // In test mode nobody is put out of the game.
    if (!services_.settings.testMode) {
        const EventField fields[] = {TextField("reason", reason)};
        services_.log.Record({EventKind::kicked, &player, fields});
    }
    const std::string message =
        FormatKickMessage(services_.kickMessages.PickKickMessage(), record.name.view());
    const bool sent = services_.chat.SendAlert(record, message);
    services_.chat.SendAlert(record, reason);
    if (sent) {
        const EventField fields[] = {TextField("text", message), TextField("reason", reason)};
        services_.log.Record({EventKind::kickSent, &player, fields});
    }
    services_.removal.SendFarewell(record);
}

}  // namespace korvane
