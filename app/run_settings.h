#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvane {

// How the server port is known.
enum PortMode : int32_t {
    kPortGiven = 0,     // "/port:" named it
    kPortDetected = 2,  // found from the first connect traffic
};

// The switches of one run. Filled once from the command line; afterwards only the address
// discovery at start-up and the port detection change `serverAddress` and `serverPort`.
struct RunSettings {
    static constexpr size_t kServerAddressCapacity = 256;  // bytes, terminator included

    int32_t serverPort = 2300;
    int32_t portMode = kPortDetected;
    int32_t adapterNumber = -1;
    // "/adapter:" followed by anything but a decimal number names the adapter instead: by
    // libpcap's device name, on Windows by Npcap's name or description.
    std::optional<std::string> adapterName;
    std::string serverAddress = "127.0.0.1";
    bool hostGiven = false;
    bool debugTrace = false;
    bool testMode = false;
    bool silent = false;
    bool reportSelections = false;
    bool puretech = false;
    bool collectVariants = false;
    bool versionNotice = true;
    int32_t timeInterval = 0;
    // "/replay:<file>": frames come from a capture file instead of an adapter.
    bool replay = false;
    std::string replayFile;
    // "/events:<file>": every event is appended to the file as a line of JSON.
    std::optional<std::string> eventsFile;
    // "/adapter:" as the console's command line line shows it: the number, or the name given.
    std::string AdapterSwitch() const;
};

}  // namespace korvane
