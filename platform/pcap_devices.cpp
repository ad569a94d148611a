#include "platform/pcap_devices.h"

#include <memory>

namespace korvane {

bool ForEachPcapDevice(const PcapFunctions& pcap,
                       const std::function<void(const pcap_if_t&)>& visit) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* first = nullptr;
    if (pcap.findAllDevs(&first, error) != 0) {
        return false;
    }
    const auto free = pcap.freeAllDevs;
    const std::unique_ptr<pcap_if_t, decltype(free)> devices(first, free);
    for (const pcap_if_t* d = devices.get(); d != nullptr; d = d->next) {
        visit(*d);
    }
    return true;
}

DeviceProbe ProbePcapDevice(const PcapFunctions& pcap, const std::string& device) {
    char error[PCAP_ERRBUF_SIZE] = {};
    PcapHandle probe(pcap.create(device.c_str(), error), PcapCloser{pcap.close});
    if (probe == nullptr) {
        return {DeviceProbe::Kind::noSuchDevice, 0};
    }
    const int status = pcap.activate(probe.get());
    if (status < 0) {
        return {DeviceProbe::Kind::notActivated, status};
    }
    if (pcap.datalink(probe.get()) != DLT_EN10MB) {
        return {DeviceProbe::Kind::notEthernet, 0};
    }
    return {DeviceProbe::Kind::ethernet, 0};
}

}  // namespace korvane
