#include "tools/inspection_json.h"

#include <nlohmann/json.hpp>

#include "app/latin1_text.h"
#include "platform/format.h"
#include "rules/tech_base.h"

namespace korvane::tools {

namespace {

using Json = nlohmann::ordered_json;

Json Text(std::string_view text) {
    return Latin1ToUtf8(text);
}

template <typename T>
Json TextOrNull(const std::optional<T>& text) {
    return text ? Text(*text) : Json(nullptr);
}

Json Tech(int8_t tech) {
    return Text(TechBaseNames.at(static_cast<size_t>(tech) & kTechMixed));
}

const char* KindName(ComponentKind kind) {
    switch (kind) {
        case ComponentKind::weapon:
            return "weapon";
        case ComponentKind::subsystem:
            return "subsystem";
        case ComponentKind::unknownId:
            return "unknownId";
        case ComponentKind::unknownLength:
            return "unknownLength";
        default:
            return "cutShort";
    }
}

Json Directory(const InspectedDirectory& directory) {
    Json sections = Json::array();
    for (const InspectedSection& section : directory.sections) {
        sections.push_back({{"index", section.index},
                            {"name", Text(section.name)},
                            {"storedLength", section.storedLength},
                            {"offset", section.sectionOffset},
                            {"inside", section.inside}});
    }
    return {{"sectionCount", directory.declaredCount},
            {"dataOffset", directory.dataOffset},
            {"containerLength", directory.containerLength},
            {"fileSize", directory.fileBytes},
            {"consistent", directory.containerLength == directory.fileBytes},
            {"sections", sections}};
}

Json Chassis(const InspectedChassis& chassis) {
    Json object = {{"id", StringPrintf("%08x", chassis.id)}, {"known", chassis.row.has_value()}};
    if (chassis.row) {
        const ChassisRow& row = ChassisCatalogue[*chassis.row];
        Json permits = Json::object();
        for (size_t column = 0; column < kSubsystemCount; ++column) {
            permits[std::string(SubsystemRuleFor(static_cast<Subsystem>(column)).label)] =
                row.permits[column] != 0;
        }
        object["name"] = Text(row.name);
        object["code"] = Text(row.code);
        object["tech"] = Tech(row.tech);
        object["permits"] = permits;
    }
    return object;
}

Json Component(const InspectedComponent& component) {
    Json object = {{"offset", component.offset}, {"kind", KindName(component.kind)}};
    if (component.kind != ComponentKind::cutShort) {
        object["length"] = component.length;
    }
    if (component.kind != ComponentKind::cutShort &&
        component.kind != ComponentKind::unknownLength) {
        object["id"] = component.id;
    }
    if (component.weapon != nullptr) {
        object["name"] = Text(component.weapon->name);
        object["tech"] = Tech(component.weapon->tech);
    }
    if (component.subsystem != nullptr) {
        object["name"] = Text(component.subsystem->label);
        object["permitted"] = component.permitted ? Json(*component.permitted) : Json(nullptr);
    }
    object["checkedByGuard"] = component.checkedByGuard;
    return object;
}

Json Inspected(const Inspection& seen) {
    Json components = nullptr;
    if (seen.componentsListed) {
        components = Json::array();
        for (const InspectedComponent& component : seen.components) {
            components.push_back(Component(component));
        }
    }
    Json log = Json::array();
    for (const std::string& line : seen.guardLog) {
        log.push_back(Text(line));
    }
    return {{"file", Text(seen.file)},
            {"size", seen.fileSize},
            {"readCapped", seen.readCapped},
            {"status", StatusName(seen.status)},
            {"reason", Text(seen.reason)},
            {"note", Text(seen.note)},
            {"directory", seen.directory ? Directory(*seen.directory) : Json(nullptr)},
            {"name", TextOrNull(seen.name)},
            {"chassis", seen.chassis ? Chassis(*seen.chassis) : Json(nullptr)},
            {"components", components},
            {"techClass", TextOrNull(seen.techClass)},
            {"guardLog", log}};
}

}  // namespace

std::string RenderJson(std::span<const Inspection> inspections) {
    Json all = Json::array();
    for (const Inspection& seen : inspections) {
        all.push_back(Inspected(seen));
    }
    return all.dump(-1, ' ', true) + "\n";
}

}  // namespace korvane::tools
