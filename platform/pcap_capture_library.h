#pragma once

#include <memory>

#include "platform/capture_library.h"

namespace korvane {

// The capture library over libpcap: live capture on the host's Ethernet-type interfaces
// (loopback included). The adapter list comes in the wide form; every adapter carries a
// description an operator recognises (libpcap's own, or the interface name with its IPv4
// address, "lo 127.0.0.1").
std::unique_ptr<CaptureLibrary> MakePcapCaptureLibrary();

}  // namespace korvane
