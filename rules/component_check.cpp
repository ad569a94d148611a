#include "rules/component_check.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "capture/byte_reader.h"
#include "platform/format.h"
#include "rules/catalogue.h"

namespace korvane {

namespace {
constexpr std::array<SubsystemRule, kSubsystemCount> kSubsystems = {{
    {808, kOptics, "OPTICS", "Illegal Optics subsystem"},
    {809, kGyro, "GYRO", "Illegal Gyro subsystem"},
    {810, kIff, "IFF", "Illegal IFF subsystem"},
    {812, kBap, "BAP", "Illegal BAP subsystem"},
    {813, kEcm, "ECM", "Illegal ECM subsystem"},
    {815, kJumpJets, "JJ", "Illegal Jump Jets subsystem"},
    {816, kLams, "LAMS", "Illegal LAMS subsystem"},
}};

constexpr std::array<int16_t, 5> kEntryLengths = {108, 112, 152, 236, 376};
}  // namespace

bool ComponentEntry::lengthKnown() const {
    return std::find(kEntryLengths.begin(), kEntryLengths.end(), length) != kEntryLengths.end();
}

ComponentEntry ReadComponentEntry(std::span<const uint8_t> list, size_t at) {
    const ByteReader reader(list);
    if (!reader.Has(at, ComponentList::kEntryFixedBytes)) {
        throw TruncatedData();
    }
    return {at, static_cast<int16_t>(reader.U16(at)), reader.U16(at + ComponentList::kIdOffset)};
}

const SubsystemRule* FindSubsystemRule(uint16_t id) {
    const auto rule = std::find_if(kSubsystems.begin(), kSubsystems.end(),
                                   [id](const SubsystemRule& r) { return r.id == id; });
    return rule == kSubsystems.end() ? nullptr : &*rule;
}

bool ChassisPermits(size_t chassisRow, const SubsystemRule& rule) {
    return ChassisCatalogue.at(chassisRow).permits[rule.column] != 0;
}

const SubsystemRule& SubsystemRuleFor(Subsystem column) {
    return *std::find_if(kSubsystems.begin(), kSubsystems.end(),
                         [column](const SubsystemRule& r) { return r.column == column; });
}

void ComponentCheck::CheckComponents(PlayerRecord& record, std::span<const uint8_t> list) {
    forbidden_ = nullptr;
    size_t at = ComponentList::kFirstEntryOffset;
    while (at < list.size() && record.configOk != 0) {
        const std::optional<size_t> next = CheckComponentEntry(record, list, at);
        if (!next) {
            return;
        }
        at = *next;
    }
}

std::optional<size_t> ComponentCheck::CheckComponentEntry(PlayerRecord& record,
                                                          std::span<const uint8_t> list,
                                                          size_t at) {
    const ComponentEntry entry = ReadComponentEntry(list, at);
    if (!entry.lengthKnown()) {
        log_.LogEvent(StringPrintf("unhandled subsystem length=0x%04x\n",
                                   static_cast<unsigned>(static_cast<int32_t>(entry.length))),
                      record.ForLog());
        return std::nullopt;
    }
    CheckComponent(record, entry.id);
    return entry.next();
}

void ComponentCheck::CheckComponent(PlayerRecord& record, uint16_t id) {
    const SubsystemRule* rule = FindSubsystemRule(id);
    if (rule == nullptr) {
        LookUpWeapon(record, id);
        return;
    }
    if (!ChassisPermits(static_cast<size_t>(record.chassisIndex), *rule)) {
        rejectReason_.Set(rule->reason);
        forbidden_ = rule;
        log_.LogEvent(std::string(rule->label) + " Subsystem: INVALID", record.ForLog());
        record.configOk = 0;
    }
}

}  // namespace korvane
