#include "platform/pcap_devices.h"

#include <algorithm>
#include <array>
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

std::optional<uint32_t> FirstIPv4(const pcap_if_t& device) {
    for (const pcap_addr_t* a = device.addresses; a != nullptr; a = a->next) {
        if (a->addr == nullptr || a->addr->sa_family != AF_INET) {
            continue;
        }
        // An IPv4 socket address holds its family and port first, then the address in network
        // byte order, on every platform the program runs on.
        std::array<uint8_t, 8> head{};
        std::copy_n(reinterpret_cast<const uint8_t*>(a->addr), head.size(), head.begin());
        return uint32_t{head[4]} << 24 | uint32_t{head[5]} << 16 | uint32_t{head[6]} << 8 |
               uint32_t{head[7]};
    }
    return std::nullopt;
}

AdapterAddressing PcapDeviceAddressing(const PcapFunctions& pcap, const std::string& device) {
    AdapterAddressing addressing;
    bool found = false;
    ForEachPcapDevice(pcap, [&](const pcap_if_t& d) {
        if (found || d.name == nullptr || device != d.name) {
            return;
        }
        found = true;
        addressing.loopback = (d.flags & PCAP_IF_LOOPBACK) != 0;
        addressing.firstIPv4 = FirstIPv4(d);
    });
    return addressing;
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
