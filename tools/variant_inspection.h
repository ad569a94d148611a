#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "rules/catalogue.h"
#include "rules/component_check.h"
#include "rules/variant_decoder.h"

namespace korvane::tools {

// What an operator learns about one variant container file (an upload that "/collect" saved,
// or any container): its directory, chassis and components as the guard's own rules read them,
// and the verdict of the guard's own decoder run on the file's bytes in a quiet world (test
// mode: nothing is sent, nothing is written).

// How the guard comes out on the file.
enum class InspectionStatus {
    legal,       // judged, and the player plays on
    illegal,     // judged, and the player is kicked
    unreadable,  // no verdict: not a container, or one the guard cannot judge
};

struct InspectedSection {
    size_t index = 0;
    std::string name;
    uint32_t storedLength = 0;
    uint32_t sectionOffset = 0;  // from the data area
    bool inside = false;         // its bytes lie within the file
};

struct InspectedDirectory {
    uint32_t dataOffset = 0;
    size_t declaredCount = 0;
    // The entries that could be read, in order.
    std::vector<InspectedSection> sections;
    // What the directory adds up to: 20, 23 + the name length per entry, every stored length.
    // Past the file's size when the entries run past its end.
    uint64_t containerLength = 0;
    uint64_t fileBytes = 0;
};

struct InspectedChassis {
    uint32_t id = 0;
    // The catalogue row; nothing for an id the catalogue does not know.
    std::optional<size_t> row;
};

enum class ComponentKind {
    weapon,         // a weapon of the catalogue
    subsystem,      // one of the seven optional subsystems
    unknownId,      // an id that neither table knows: the guard ignores it
    unknownLength,  // a length the game does not write: the guard stops reading here
    cutShort,       // the list ends within the entry's first 88 bytes: the guard stops here
};

struct InspectedComponent {
    size_t offset = 0;
    int16_t length = 0;
    uint16_t id = 0;  // not read for a cut-short entry
    ComponentKind kind = ComponentKind::unknownId;
    const WeaponRow* weapon = nullptr;
    const SubsystemRule* subsystem = nullptr;
    // For a subsystem: whether the chassis may carry it; nothing without a known chassis.
    std::optional<bool> permitted;
    // False for entries after the first subsystem the chassis may not carry: the guard's walk
    // ends there.
    bool checkedByGuard = true;
};

struct Inspection {
    std::string file;
    uint64_t fileSize = 0;
    // The file is larger than what was read of it.
    bool readCapped = false;

    InspectionStatus status = InspectionStatus::unreadable;
    // Illegal: what the guard tells the player. Unreadable: why, and what the guard does with
    // such an upload. Legal: empty.
    std::string reason;
    // Anything else worth knowing about a legal verdict (where the guard stopped reading).
    std::string note;
    DecodeOutcome outcome = DecodeOutcome::none;

    std::optional<InspectedDirectory> directory;
    std::optional<std::string> name;
    std::optional<InspectedChassis> chassis;
    // Whether the component section was read at all.
    bool componentsListed = false;
    std::vector<InspectedComponent> components;
    // The guard's label for the configuration's tech, when it judged it.
    std::optional<std::string> techClass;
    // The guard's log lines on the file, without their stamps and player prefix.
    std::vector<std::string> guardLog;
};

// The most bytes of a file the inspector reads.
inline constexpr size_t kInspectReadLimit = 1 << 20;

// Judges `bytes` as the guard judges an upload of a file of `fileSize` bytes; `bytes` holds
// the file's first bytes, all of them unless the file is larger than kInspectReadLimit.
Inspection InspectVariant(std::string file, std::span<const uint8_t> bytes, uint64_t fileSize);

// A file that could not be read at all; `why` says what went wrong.
Inspection UnreadableFile(std::string file, std::string why);

// Reads and inspects the file at `path`: at most kInspectReadLimit bytes of it.
Inspection InspectFile(const std::string& path);

// The text of a status as the outputs name it: "legal", "illegal", "unreadable".
const char* StatusName(InspectionStatus status);

}  // namespace korvane::tools
