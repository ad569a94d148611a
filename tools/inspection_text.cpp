#include "tools/inspection_text.h"

#include "platform/format.h"
#include "rules/tech_base.h"

namespace korvane::tools {

namespace {

std::string TechName(int8_t tech) {
    return std::string(TechBaseNames.at(static_cast<size_t>(tech) & kTechMixed));
}

std::string Permits(const ChassisRow& chassis) {
    std::string permitted;
    std::string forbidden;
    for (size_t column = 0; column < kSubsystemCount; ++column) {
        std::string& to = chassis.permits[column] != 0 ? permitted : forbidden;
        to += " ";
        to += SubsystemRuleFor(static_cast<Subsystem>(column)).label;
    }
    return "permits" + (permitted.empty() ? std::string(" none") : permitted) + "; not" +
           (forbidden.empty() ? std::string(" -") : forbidden);
}

std::string Component(const InspectedComponent& component) {
    std::string line = StringPrintf("    offset %5zu", component.offset);
    switch (component.kind) {
        case ComponentKind::cutShort:
            return line + "  cut short: the list ends within this entry; the guard stops here";
        case ComponentKind::unknownLength:
            return line + StringPrintf(
                              "  length %d: not a length the game writes; the guard "
                              "stops here",
                              component.length);
        default:
            break;
    }
    line += StringPrintf("  length %3d  id %5u  ", component.length, component.id);
    switch (component.kind) {
        case ComponentKind::weapon:
            line += "weapon " + std::string(component.weapon->name) + " (" +
                    TechName(component.weapon->tech) + ")";
            break;
        case ComponentKind::subsystem:
            line += "subsystem " + std::string(component.subsystem->label) + ": " +
                    (!component.permitted   ? "no chassis to judge it by"
                     : *component.permitted ? "permitted"
                                            : "NOT PERMITTED");
            break;
        default:
            line += "unknown id: neither a weapon nor a subsystem, ignored";
            break;
    }
    if (!component.checkedByGuard) {
        line += "  (not checked: the guard stopped before)";
    }
    return line;
}

}  // namespace

std::string Printable(std::string_view text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == '\\') {
            shown += "\\\\";
        } else if (byte < 0x20 || byte >= 0x7f) {
            shown += StringPrintf("\\x%02x", byte);
        } else {
            shown += c;
        }
    }
    return shown;
}

std::string RenderText(const Inspection& seen) {
    std::string out = Printable(seen.file);
    out += seen.status == InspectionStatus::unreadable && !seen.directory && seen.fileSize == 0
               ? "\n"
               : StringPrintf(" (%llu bytes)\n", static_cast<unsigned long long>(seen.fileSize));
    if (seen.directory) {
        const InspectedDirectory& directory = *seen.directory;
        out += StringPrintf(
            "  directory: %zu section%s, data area at %u; adds up to %llu bytes, "
            "the file holds %llu%s\n",
            directory.declaredCount, directory.declaredCount == 1 ? "" : "s", directory.dataOffset,
            static_cast<unsigned long long>(directory.containerLength),
            static_cast<unsigned long long>(directory.fileBytes),
            directory.containerLength == directory.fileBytes ? "" : " (MISMATCH)");
        for (const InspectedSection& section : directory.sections) {
            out += StringPrintf("    %3zu  stored %7u  offset %7u%s  %s\n", section.index,
                                section.storedLength, section.sectionOffset,
                                section.inside ? "" : "  OUTSIDE THE FILE",
                                Printable(section.name).c_str());
        }
        if (directory.sections.size() < directory.declaredCount) {
            out += "    (the other entries run past the end of the file)\n";
        }
    }
    if (seen.name) {
        out += "  variant: " + Printable(*seen.name) + "\n";
    }
    if (seen.chassis) {
        if (seen.chassis->row) {
            const ChassisRow& chassis = ChassisCatalogue[*seen.chassis->row];
            out += StringPrintf("  chassis: %s (%s), id %08x, %s; %s\n",
                                std::string(chassis.name).c_str(),
                                std::string(chassis.code).c_str(), seen.chassis->id,
                                TechName(chassis.tech).c_str(), Permits(chassis).c_str());
        } else {
            out += StringPrintf("  chassis: id %08x, unknown to the catalogue\n", seen.chassis->id);
        }
    }
    if (seen.componentsListed) {
        out += StringPrintf("  components (%zu):\n", seen.components.size());
        for (const InspectedComponent& component : seen.components) {
            out += Component(component) + "\n";
        }
    }
    if (seen.techClass) {
        out += "  tech class: " + *seen.techClass + "\n";
    }
    if (!seen.guardLog.empty()) {
        out += "  guard log:\n";
        for (const std::string& line : seen.guardLog) {
            out += "    " + Printable(line) + "\n";
        }
    }
    if (!seen.note.empty()) {
        out += "  note: " + Printable(seen.note) + "\n";
    }
    switch (seen.status) {
        case InspectionStatus::legal:
            out += "  verdict: LEGAL\n";
            break;
        case InspectionStatus::illegal:
            out += "  verdict: ILLEGAL: " + Printable(seen.reason) + "\n";
            break;
        default:
            out += "  verdict: UNREADABLE: " + Printable(seen.reason) + "\n";
            break;
    }
    return out;
}

}  // namespace korvane::tools
