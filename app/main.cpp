#include "app/driver.h"
#include "platform/pcap_capture_library.h"
#include "platform/posix_sockets.h"
#include "platform/terminal_console.h"

int main(int argc, char** argv) {
    auto capture = korvane::MakePcapCaptureLibrary();
    auto sockets = korvane::MakePosixSockets();
    auto console = korvane::MakeTerminalConsole();
    korvane::SystemClock clock;
    korvane::Driver driver({*capture, *sockets, *console, clock});
    return driver.Run(argc, argv);
}
