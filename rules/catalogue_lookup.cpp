#include "rules/catalogue.h"

namespace korvane {

namespace {
// The chassis row becomes the record's chassis; its tech replaces the record's, whose values so
// far become the previous ones, and the weapons' tech starts again from none.
void TakeChassis(PlayerRecord& record, size_t row) {
    const ChassisRow& chassis = ChassisCatalogue[row];
    record.chassisIndex = static_cast<int32_t>(row);
    record.chassisName.Set(chassis.name);
    record.previousChassisTech = record.chassisTech;
    record.previousComponentTech = record.componentTech;
    record.chassisTech = static_cast<uint32_t>(chassis.tech);
    record.componentTech = kTechNA;
}
}  // namespace

void LookUpSelectedChassis(PlayerRecord& record, uint32_t selectionId) {
    record.chassisName.Set("Unknown");
    record.variantName.Set("Stock");
    record.chassisIndex = -1;
    record.configOk = 0;
    for (size_t row = 0; row < ChassisCatalogue.size(); ++row) {
        if (ChassisCatalogue[row].selectionId == selectionId) {
            TakeChassis(record, row);
            record.configOk = 1;
            return;
        }
    }
}

const WeaponRow* FindWeapon(uint16_t componentId) {
    for (const WeaponRow& weapon : WeaponCatalogue) {
        if (weapon.id == componentId) {
            return &weapon;
        }
    }
    return nullptr;
}

std::optional<size_t> FindVariantChassis(uint32_t chassisId) {
    for (size_t row = 0; row < ChassisCatalogue.size(); ++row) {
        if (ChassisCatalogue[row].variantChassisId == chassisId) {
            return row;
        }
    }
    return std::nullopt;
}

bool LookUpVariantChassis(PlayerRecord& record, uint32_t chassisId) {
    record.chassisIndex = -1;
    const std::optional<size_t> row = FindVariantChassis(chassisId);
    if (!row) {
        return false;
    }
    TakeChassis(record, *row);
    return true;
}

void LookUpWeapon(PlayerRecord& record, uint16_t componentId) {
    if (const WeaponRow* weapon = FindWeapon(componentId)) {
        record.componentTech |= static_cast<uint32_t>(weapon->tech);
    }
}

}  // namespace korvane
