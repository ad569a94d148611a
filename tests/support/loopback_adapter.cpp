#include "tests/support/loopback_adapter.h"

#include <unistd.h>

#include <cstdint>
#include <span>
#include <vector>

#include "app/adapter_list.h"
#include "platform/pcap_capture_library.h"

namespace korvane::testing {

int LoopbackAdapterNumber(std::string& why) {
    if (::geteuid() != 0) {
        why = "live capture needs root (euid " + std::to_string(::geteuid()) + ")";
        return 0;
    }
    auto library = MakePcapCaptureLibrary();
    std::vector<uint8_t> list(kWideListBytes, 0);
    if (!library->GetAdapterNames(list)) {
        why = "the adapter list cannot be read";
        return 0;
    }
    AdapterTable table;
    ReadAdapterList(list, true, table);
    for (size_t n = 1; n <= table.count; ++n) {
        std::span<const uint8_t> name = table.Name(static_cast<long>(n));
        if (name.size() == 4 && name[0] == 'l' && name[2] == 'o') {
            if (library->OpenAdapter(name, true) == nullptr) {
                why = "capture on lo is not permitted here (error code " +
                      std::to_string(library->LastError()) + ")";
                return 0;
            }
            return static_cast<int>(n);
        }
    }
    why = "no loopback interface is listed";
    return 0;
}

}  // namespace korvane::testing
