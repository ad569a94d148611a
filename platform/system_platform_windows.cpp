#include "platform/system_platform.h"
#include "platform/windows_console.h"
#include "platform/winsock_sockets.h"
#include "platform/wpcap_capture_library.h"

namespace korvane {

SystemPlatform MakeSystemPlatform() {
    return {MakeWpcapCaptureLibrary(), MakeWinsockSockets(), MakeWindowsConsole()};
}

}  // namespace korvane
