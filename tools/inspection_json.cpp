#include "tools/inspection_json.h"

#include "platform/format.h"
#include "rules/tech_base.h"

namespace korvane::tools {

namespace {

std::string Number(uint64_t value) {
    return std::to_string(value);
}
std::string Bool(bool value) {
    return value ? "true" : "false";
}
std::string Tech(int8_t tech) {
    return JsonString(TechBaseNames.at(static_cast<size_t>(tech) & kTechMixed));
}

// Builds one JSON object, member by member.
class Object {
  public:
    Object& Add(std::string_view key, const std::string& json) {
        text_ += text_.size() == 1 ? "" : ",";
        text_ += JsonString(key) + ":" + json;
        return *this;
    }
    std::string Close() { return text_ + "}"; }

  private:
    std::string text_ = "{";
};

std::string Array(const std::vector<std::string>& elements) {
    std::string text = "[";
    for (size_t i = 0; i < elements.size(); ++i) {
        text += (i == 0 ? "" : ",") + elements[i];
    }
    return text + "]";
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

std::string Directory(const InspectedDirectory& directory) {
    std::vector<std::string> sections;
    for (const InspectedSection& section : directory.sections) {
        sections.push_back(Object()
                               .Add("index", Number(section.index))
                               .Add("name", JsonString(section.name))
                               .Add("storedLength", Number(section.storedLength))
                               .Add("offset", Number(section.sectionOffset))
                               .Add("inside", Bool(section.inside))
                               .Close());
    }
    return Object()
        .Add("sectionCount", Number(directory.declaredCount))
        .Add("dataOffset", Number(directory.dataOffset))
        .Add("containerLength", Number(directory.containerLength))
        .Add("fileSize", Number(directory.fileBytes))
        .Add("consistent", Bool(directory.containerLength == directory.fileBytes))
        .Add("sections", Array(sections))
        .Close();
}

std::string Chassis(const InspectedChassis& chassis) {
    Object object;
    object.Add("id", JsonString(StringPrintf("%08x", chassis.id)))
        .Add("known", Bool(chassis.row.has_value()));
    if (chassis.row) {
        const ChassisRow& row = ChassisCatalogue[*chassis.row];
        Object permits;
        for (size_t column = 0; column < kSubsystemCount; ++column) {
            permits.Add(SubsystemRuleFor(static_cast<Subsystem>(column)).label,
                        Bool(row.permits[column] != 0));
        }
        object.Add("name", JsonString(row.name))
            .Add("code", JsonString(row.code))
            .Add("tech", Tech(row.tech))
            .Add("permits", permits.Close());
    }
    return object.Close();
}

std::string Component(const InspectedComponent& component) {
    Object object;
    object.Add("offset", Number(component.offset))
        .Add("kind", JsonString(KindName(component.kind)));
    if (component.kind != ComponentKind::cutShort) {
        object.Add("length", std::to_string(component.length));
    }
    if (component.kind != ComponentKind::cutShort &&
        component.kind != ComponentKind::unknownLength) {
        object.Add("id", Number(component.id));
    }
    if (component.weapon != nullptr) {
        object.Add("name", JsonString(component.weapon->name))
            .Add("tech", Tech(component.weapon->tech));
    }
    if (component.subsystem != nullptr) {
        object.Add("name", JsonString(component.subsystem->label))
            .Add("permitted", component.permitted ? Bool(*component.permitted) : "null");
    }
    return object.Add("checkedByGuard", Bool(component.checkedByGuard)).Close();
}

std::string Inspected(const Inspection& seen) {
    std::vector<std::string> components;
    for (const InspectedComponent& component : seen.components) {
        components.push_back(Component(component));
    }
    std::vector<std::string> log;
    for (const std::string& line : seen.guardLog) {
        log.push_back(JsonString(line));
    }
    return Object()
        .Add("file", JsonString(seen.file))
        .Add("size", Number(seen.fileSize))
        .Add("readCapped", Bool(seen.readCapped))
        .Add("status", JsonString(StatusName(seen.status)))
        .Add("reason", JsonString(seen.reason))
        .Add("note", JsonString(seen.note))
        .Add("directory", seen.directory ? Directory(*seen.directory) : "null")
        .Add("name", seen.name ? JsonString(*seen.name) : "null")
        .Add("chassis", seen.chassis ? Chassis(*seen.chassis) : "null")
        .Add("components", seen.componentsListed ? Array(components) : "null")
        .Add("techClass", seen.techClass ? JsonString(*seen.techClass) : "null")
        .Add("guardLog", Array(log))
        .Close();
}

}  // namespace

std::string JsonString(std::string_view text) {
    std::string json = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (byte) {
            case '"':
                json += "\\\"";
                break;
            case '\\':
                json += "\\\\";
                break;
            case '\n':
                json += "\\n";
                break;
            case '\t':
                json += "\\t";
                break;
            case '\r':
                json += "\\r";
                break;
            default:
                if (byte < 0x20 || byte >= 0x7f) {
                    json += StringPrintf("\\u%04x", byte);
                } else {
                    json += c;
                }
        }
    }
    return json + "\"";
}

std::string RenderJson(std::span<const Inspection> inspections) {
    std::vector<std::string> objects;
    for (const Inspection& seen : inspections) {
        objects.push_back(Inspected(seen));
    }
    return Array(objects) + "\n";
}

}  // namespace korvane::tools
