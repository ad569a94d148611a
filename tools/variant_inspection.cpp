#include "tools/variant_inspection.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <system_error>
#include <utility>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/byte_reader.h"
#include "capture/player_record.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/clock.h"
#include "platform/fake_sockets.h"
#include "platform/format.h"
#include "platform/scripted_console.h"
#include "rules/section_expander.h"
#include "rules/tech_class.h"
#include "rules/variant_container.h"

namespace korvane::tools {

namespace {
using Layout = VariantContainer;

constexpr uint32_t kPlayerId = 1;

// The guard's verdict machinery as the driver builds it, in test mode and without "/collect":
// no chat line, removal or file leaves it. Its sockets touch no network and its log is never
// opened, so its lines only reach the console, which keeps them.
RunSettings QuietSettings() {
    RunSettings settings;
    settings.testMode = true;
    settings.collectVariants = false;
    return settings;
}

struct QuietGuard {
    QuietGuard() {
        chat.ForgetLastMessage();
        player.SetNames(u"inspector", "inspector");
        // The player form of a line with an empty text: everything before a line's own text.
        log.LogEvent("", player.ForLog());
        playerPrefix = console.output().substr(0, console.output().find('\n'));
        plainPrefix = log.Stamp() + ": ";
        console.ClearOutput();
    }

    // What the log showed since, line by line, without stamps and player prefixes; the empty
    // lines that texts with a line end of their own leave are dropped.
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        const std::string& text = console.output();
        for (size_t at = 0; at < text.size();) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos) {
                end = text.size();
            }
            std::string line = text.substr(at, end - at);
            at = end + 1;
            if (line.starts_with(playerPrefix)) {
                line.erase(0, playerPrefix.size());
            } else if (line.starts_with(plainPrefix)) {
                line.erase(0, plainPrefix.size());
            }
            if (!line.empty()) {
                lines.push_back(std::move(line));
            }
        }
        return lines;
    }

    RunSettings settings = QuietSettings();
    ManualClock clock;
    ScriptedConsole console;
    EventLog log{clock, console};
    FakeSockets sockets;
    ServerLink link{sockets, log, settings};
    ChatSender chat{link, log, settings};
    KickMessageTable kickMessages{clock};
    PlayerRemoval removal{link, chat, log, settings};
    VariantDecoder decoder{DecoderServices{settings, log, chat, removal, kickMessages, clock, "."}};
    PlayerRecord player{kPlayerId, clock};
    std::string playerPrefix;
    std::string plainPrefix;
};

constexpr const char* kPlaysOn =
    "the guard reaches no verdict on such an upload and lets the player play on";

// Why the guard reaches no verdict, and what it does then.
std::string NoVerdictReason(const Inspection& seen, const VariantDirectory& directory) {
    const size_t count = directory.sections().size();
    switch (seen.outcome) {
        case DecodeOutcome::tooShort:
            return StringPrintf(
                "only %llu bytes, too short to hold the \"#VBD\" magic: not a variant container; "
                "the guard drops such an upload without a word (no verdict, no file)",
                static_cast<unsigned long long>(seen.fileSize));
        case DecodeOutcome::notContainer:
            return "does not begin with \"#VBD\": not a variant container; the guard drops such "
                   "an upload without a word (no verdict, no file)";
        case DecodeOutcome::inconsistent: {
            std::string why;
            if (seen.directory && seen.directory->containerLength != seen.fileSize) {
                why = StringPrintf("the directory adds up to %llu bytes but the file holds %llu",
                                   static_cast<unsigned long long>(seen.directory->containerLength),
                                   static_cast<unsigned long long>(seen.fileSize));
            } else {
                why = "a section lies outside the file";
                for (const VariantSection& section : directory.sections()) {
                    if (!section.inside) {
                        why = StringPrintf(
                            "section %zu (%u bytes at %u past the data area at %u) lies outside "
                            "the file",
                            static_cast<size_t>(&section - directory.sections().data()),
                            section.storedLength, section.sectionOffset, directory.dataOffset());
                        break;
                    }
                }
            }
            return "unreadable container: " + why + "; " + kPlaysOn +
                   ", and with /collect saves it to a .variant.mw4 file";
        }
        case DecodeOutcome::noChassisSection:
            return StringPrintf("the directory has %zu section%s and no chassis section (1); %s",
                                count, count == 1 ? "" : "s", kPlaysOn);
        case DecodeOutcome::chassisUnreadable:
            return std::string(
                       "the chassis section (1) does not expand to a chassis record "
                       "holding the chassis id at 148; ") +
                   kPlaysOn;
        case DecodeOutcome::unknownChassis: {
            const uint32_t id = seen.chassis ? seen.chassis->id : 0;
            return StringPrintf(
                "unknown chassis id %08x: the guard logs \"Could not determine "
                "chassis %08x\", reaches no verdict and lets the player play on",
                id, id);
        }
        case DecodeOutcome::componentsUnreadable:
            return std::string(count <= Layout::kComponentSection
                                   ? "the directory has no component section (2)"
                                   : "the component section (2) does not expand") +
                   "; the guard checks no component, reports nothing and lets the player play "
                   "on (the configuration line reads VALID)";
        default:
            return "the guard reaches no verdict on it";
    }
}

// Lists the component list entry by entry as the guard's walk reads it, on past the first
// forbidden subsystem (marked as not checked) up to where the walk cannot go on.
void ListComponents(Inspection& seen, std::span<const uint8_t> list) {
    const bool chassis = seen.chassis && seen.chassis->row;
    bool checked = true;
    size_t at = ComponentList::kFirstEntryOffset;
    while (at < list.size()) {
        InspectedComponent shown;
        shown.offset = at;
        shown.checkedByGuard = checked;
        ComponentEntry entry;
        try {
            entry = ReadComponentEntry(list, at);
        } catch (const TruncatedData&) {
            shown.kind = ComponentKind::cutShort;
            seen.components.push_back(shown);
            return;
        }
        shown.length = entry.length;
        shown.id = entry.id;
        if (!entry.lengthKnown()) {
            shown.kind = ComponentKind::unknownLength;
            seen.components.push_back(shown);
            return;
        }
        if (const SubsystemRule* rule = FindSubsystemRule(entry.id)) {
            shown.kind = ComponentKind::subsystem;
            shown.subsystem = rule;
            if (chassis) {
                shown.permitted = ChassisPermits(*seen.chassis->row, *rule);
                if (!*shown.permitted) {
                    checked = false;  // the guard's walk ends with this entry
                }
            }
        } else if (const WeaponRow* weapon = FindWeapon(entry.id)) {
            shown.kind = ComponentKind::weapon;
            shown.weapon = weapon;
        } else {
            shown.kind = ComponentKind::unknownId;
        }
        seen.components.push_back(shown);
        at = entry.next();
    }
}

// The listing: the directory, the name, the chassis and the components, read with the guard's
// own parser, expander and tables wherever the bytes allow.
void List(Inspection& seen, std::span<const uint8_t> bytes, VariantDirectory& directory) {
    InspectedDirectory shown;
    shown.containerLength = directory.ParseVariantDirectory(bytes);
    shown.fileBytes = seen.fileSize;
    shown.dataOffset = directory.dataOffset();
    shown.declaredCount = directory.declaredCount();
    const std::span<const VariantSection> sections = directory.sections();
    for (size_t i = 0; i < sections.size(); ++i) {
        shown.sections.push_back({i, std::string(sections[i].name), sections[i].storedLength,
                                  sections[i].sectionOffset, sections[i].inside});
    }
    seen.directory = std::move(shown);

    if (sections.size() > Layout::kNameSection) {
        // As the directory holds it: the guard's copy is cut to its field and made safe for
        // chat, as the reason and the log lines show.
        seen.name = std::string(Layout::VariantNameIn(sections[Layout::kNameSection].name));
    }
    SectionExpander expander;
    if (sections.size() > Layout::kChassisSection && sections[Layout::kChassisSection].inside) {
        if (const std::optional<uint32_t> id =
                ChassisIdOf(expander, sections[Layout::kChassisSection])) {
            seen.chassis = InspectedChassis{*id, FindVariantChassis(*id)};
        }
    }
    if (sections.size() > Layout::kComponentSection && sections[Layout::kComponentSection].inside) {
        if (const std::optional<size_t> expanded =
                expander.ExpandSection(sections[Layout::kComponentSection].stored)) {
            seen.componentsListed = true;
            ListComponents(seen, expander.Expanded(*expanded));
        }
    }
}

// Where the guard stopped reading a list it judged legal, if it stopped early.
std::string WalkNote(const Inspection& seen) {
    for (const InspectedComponent& component : seen.components) {
        if (component.kind == ComponentKind::unknownLength) {
            return StringPrintf(
                "the guard stopped reading the component list at offset %zu "
                "(entry length %d is not one the game writes); its verdict "
                "rests on the entries before",
                component.offset, component.length);
        }
        if (component.kind == ComponentKind::cutShort) {
            return StringPrintf(
                "the component list ends within the entry at offset %zu; the "
                "guard's verdict rests on the entries before",
                component.offset);
        }
    }
    return "";
}

}  // namespace

const char* StatusName(InspectionStatus status) {
    switch (status) {
        case InspectionStatus::legal:
            return "legal";
        case InspectionStatus::illegal:
            return "illegal";
        default:
            return "unreadable";
    }
}

Inspection InspectVariant(std::string file, std::span<const uint8_t> bytes, uint64_t fileSize) {
    Inspection seen;
    seen.file = std::move(file);
    seen.fileSize = fileSize;
    seen.readCapped = bytes.size() < fileSize;

    // The guard's verdict: the whole file as one upload, its length as the upload's.
    QuietGuard guard;
    guard.player.configPart1.assign(bytes.begin(), bytes.end());
    guard.player.configLength1 =
        static_cast<uint32_t>(std::min<uint64_t>(fileSize, std::numeric_limits<uint32_t>::max()));
    guard.decoder.DecodeVariant(guard.player);
    seen.outcome = guard.decoder.outcome();
    seen.guardLog = guard.Lines();

    // The listing, for anything that starts like a container.
    VariantDirectory directory;
    const ByteReader reader(bytes);
    const bool container = reader.Has(0, Layout::kMagic.size()) &&
                           std::equal(Layout::kMagic.begin(), Layout::kMagic.end(), bytes.begin());
    if (container) {
        List(seen, bytes, directory);
    }

    if (guard.player.kickPending && !container) {
        // The guard refuses an upload this large before it looks at the bytes; a file that is
        // no container at all is still no variant to judge.
        seen.status = InspectionStatus::unreadable;
        seen.reason = StringPrintf(
            "does not begin with \"#VBD\": not a variant container; uploaded, its %llu bytes "
            "would be refused for their size alone and the player kicked (\"%s\")",
            static_cast<unsigned long long>(fileSize),
            std::string(guard.decoder.refusal()).c_str());
    } else if (guard.player.kickPending) {
        seen.status = InspectionStatus::illegal;
        seen.reason = std::string(guard.decoder.refusal());
    } else if (seen.outcome == DecodeOutcome::judged) {
        seen.status = InspectionStatus::legal;
        seen.note = WalkNote(seen);
    } else {
        seen.status = InspectionStatus::unreadable;
        seen.reason = NoVerdictReason(seen, directory);
    }
    if (seen.outcome == DecodeOutcome::judged) {
        seen.techClass =
            std::string(ClassOf(guard.player.chassisTech, guard.player.componentTech).label);
    }
    if (seen.readCapped) {
        seen.note = StringPrintf("the file holds %llu bytes; only the first %zu were read",
                                 static_cast<unsigned long long>(fileSize), bytes.size());
    }
    return seen;
}

Inspection UnreadableFile(std::string file, std::string why) {
    Inspection seen;
    seen.file = std::move(file);
    seen.status = InspectionStatus::unreadable;
    seen.reason = std::move(why);
    return seen;
}

Inspection InspectFile(const std::string& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return UnreadableFile(path, "cannot be read: it is a directory; nothing to judge");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return UnreadableFile(
            path, StringPrintf("cannot be read: %s; nothing to judge", std::strerror(errno)));
    }
    // One byte more than the limit tells whether there is more.
    std::vector<uint8_t> bytes(kInspectReadLimit + 1);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (in.bad()) {
        return UnreadableFile(path, "cannot be read: a read failed; nothing to judge");
    }
    bytes.resize(static_cast<size_t>(in.gcount()));
    uint64_t size = bytes.size();
    bool sizeKnown = true;
    if (bytes.size() > kInspectReadLimit) {
        bytes.resize(kInspectReadLimit);
        const uintmax_t onDisk = std::filesystem::file_size(path, error);
        // A device or a pipe has no size: it counts as one byte over what was read.
        sizeKnown = !error;
        size = error ? size : std::max<uint64_t>(size, onDisk);
    }
    Inspection seen = InspectVariant(path, bytes, size);
    if (!sizeKnown) {
        seen.note = StringPrintf("the file holds more than %zu bytes; only the first %zu were read",
                                 kInspectReadLimit, kInspectReadLimit);
    }
    return seen;
}

}  // namespace korvane::tools
