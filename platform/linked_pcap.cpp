#include "platform/pcap_functions.h"

namespace korvane {

const PcapFunctions* SystemPcapFunctions(std::string&) {
    static const PcapFunctions linked{
        .libVersion = &pcap_lib_version,
        .findAllDevs = &pcap_findalldevs,
        .freeAllDevs = &pcap_freealldevs,
        .create = &pcap_create,
        .setSnaplen = &pcap_set_snaplen,
        .setPromisc = &pcap_set_promisc,
        .setTimeout = &pcap_set_timeout,
        .setBufferSize = &pcap_set_buffer_size,
        .activate = &pcap_activate,
        .datalink = &pcap_datalink,
        .setFilter = &pcap_setfilter,
        .dispatch = &pcap_dispatch,
        .breakLoop = &pcap_breakloop,
        .setNonblock = &pcap_setnonblock,
        .stats = &pcap_stats,
        .getErr = &pcap_geterr,
        .statusToStr = &pcap_statustostr,
        .close = &pcap_close,
        .openOffline = &pcap_open_offline,
        .fopenOffline = &pcap_fopen_offline,
        .nextEx = &pcap_next_ex,
        .filter = &bpf_filter,
        .validate = &bpf_validate,
        .datalinkName = &pcap_datalink_val_to_name,
        .datalinkDescription = &pcap_datalink_val_to_description,
    };
    return &linked;
}

}  // namespace korvane
