#include "app/driver.h"
#include "platform/system_platform.h"

int main(int argc, char** argv) {
    korvane::SystemPlatform platform = korvane::MakeSystemPlatform();
    korvane::SystemClock clock;
    korvane::Driver driver({*platform.capture, *platform.sockets, *platform.console, clock});
    return driver.Run(argc, argv);
}
