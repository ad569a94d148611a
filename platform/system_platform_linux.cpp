#include "platform/pcap_capture_library.h"
#include "platform/posix_sockets.h"
#include "platform/system_platform.h"
#include "platform/terminal_console.h"

namespace korvane {

SystemPlatform MakeSystemPlatform() {
    return {MakePcapCaptureLibrary(), MakePosixSockets(), MakeTerminalConsole()};
}

}  // namespace korvane
