#pragma once

#include <memory>

#include "platform/capture_library.h"

namespace korvane {

// The capture library over Npcap's wpcap.dll, loaded when the program starts. The adapter list
// takes the form the platform's real version word selects; adapters are Npcap's "\Device\NPF_"
// names with Npcap's descriptions. Without Npcap, Unavailable() says so.
std::unique_ptr<CaptureLibrary> MakeWpcapCaptureLibrary();

}  // namespace korvane
