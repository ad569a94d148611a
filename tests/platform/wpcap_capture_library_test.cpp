// The Windows capture library names its adapters as Npcap lists them: by the device name or by
// the description, in any case.
#include "platform/wpcap_capture_library.h"

#include <gtest/gtest.h>

namespace korvane {
namespace {

TEST(WpcapCaptureLibrary, AdapterIsNamedByNameOrDescriptionInAnyCase) {
    const auto library = MakeWpcapCaptureLibrary();
    const char* const device = "\\Device\\NPF_{4C2F8E0A-1B3D-4E5F-8A9B-0C1D2E3F4A5B}";
    const char* const description = "Intel(R) Ethernet Connection I219-V";
    struct Row {
        const char* wanted;
        bool named;
    };
    const Row rows[] = {
        {device, true},
        {"\\device\\npf_{4c2f8e0a-1b3d-4e5f-8a9b-0c1d2e3f4a5b}", true},
        {description, true},
        {"INTEL(R) ETHERNET CONNECTION I219-V", true},
        {"Intel(R) Ethernet", false},
        {"", false},
        {"{4C2F8E0A-1B3D-4E5F-8A9B-0C1D2E3F4A5B}", false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(library->AdapterNamed(row.wanted, device, description), row.named) << row.wanted;
    }
}

}  // namespace
}  // namespace korvane
