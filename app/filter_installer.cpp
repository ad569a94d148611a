#include "app/filter_installer.h"

#include "app/packet_filters.h"
#include "platform/format.h"

namespace korvane {

void FilterInstaller::SetPortFilter(int32_t port, uint32_t serverAddress) {
    const PortFilterProgram program = MakePortFilter(static_cast<uint16_t>(port), serverAddress);
    adapter_.SetBpf(program);  // the library's answer changes nothing here
    console_.Write(StringPrintf("Analyzing traffic on server port %d...\n", port));
}

void FilterInstaller::SetHostFilter(uint32_t localAddress) {
    const HostFilterProgram program = MakeHostFilter(localAddress);
    adapter_.SetBpf(program);
    console_.Write("Waiting for connect traffic to determine the server port...\n");
}

}  // namespace korvane
