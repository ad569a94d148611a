#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/pcap_functions.h"

namespace korvane {

// Calls `visit` for every device the library lists, in its order; false when the list cannot be
// had.
bool ForEachPcapDevice(const PcapFunctions& pcap,
                       const std::function<void(const pcap_if_t&)>& visit);

// The first IPv4 address the library lists for a device, in host byte order.
std::optional<uint32_t> FirstIPv4(const pcap_if_t& device);

// Whether the device is the loopback device, and its first IPv4 address; nothing of either for
// a device the library does not list.
AdapterAddressing PcapDeviceAddressing(const PcapFunctions& pcap, const std::string& device);

// What a probe of a device to capture on found.
struct DeviceProbe {
    enum class Kind { ethernet, noSuchDevice, notActivated, notEthernet };
    Kind kind = Kind::noSuchDevice;
    int status = 0;  // the activation's result, for notActivated
};

// Opens and activates a handle on the device once, to find out whether it exists, may be captured
// on and carries Ethernet frames; the handle is closed again. This is the one place the link type
// is checked: what an adapter later activates is the same device.
DeviceProbe ProbePcapDevice(const PcapFunctions& pcap, const std::string& device);

}  // namespace korvane
