#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/capture_library.h"

namespace korvane {

// The libpcap calls the capture layer makes, as a table. The Linux program is linked with
// libpcap and fills it from there; the Windows program loads Npcap's wpcap.dll when it starts
// and fills it from the library it found, so that a machine without Npcap still starts and says
// what is missing instead of failing in the loader.
struct PcapFunctions {
    decltype(&pcap_lib_version) libVersion = nullptr;
    decltype(&pcap_findalldevs) findAllDevs = nullptr;
    decltype(&pcap_freealldevs) freeAllDevs = nullptr;
    decltype(&pcap_create) create = nullptr;
    decltype(&pcap_set_snaplen) setSnaplen = nullptr;
    decltype(&pcap_set_promisc) setPromisc = nullptr;
    decltype(&pcap_set_timeout) setTimeout = nullptr;
    decltype(&pcap_set_buffer_size) setBufferSize = nullptr;
    decltype(&pcap_activate) activate = nullptr;
    decltype(&pcap_datalink) datalink = nullptr;
    decltype(&pcap_setfilter) setFilter = nullptr;
    decltype(&pcap_dispatch) dispatch = nullptr;
    decltype(&pcap_breakloop) breakLoop = nullptr;
    decltype(&pcap_setnonblock) setNonblock = nullptr;
    decltype(&pcap_stats) stats = nullptr;
    decltype(&pcap_geterr) getErr = nullptr;
    decltype(&pcap_statustostr) statusToStr = nullptr;
    decltype(&pcap_close) close = nullptr;
    decltype(&pcap_open_offline) openOffline = nullptr;
    // Only where the library and the program share one C runtime (not on Windows): a capture
    // file opened by the program, so that it can read through a large stdio buffer.
    pcap_t* (*fopenOffline)(FILE* file, char* error) = nullptr;
    decltype(&pcap_next_ex) nextEx = nullptr;
    decltype(&bpf_filter) filter = nullptr;
    decltype(&bpf_validate) validate = nullptr;
    decltype(&pcap_datalink_val_to_name) datalinkName = nullptr;
    decltype(&pcap_datalink_val_to_description) datalinkDescription = nullptr;
};

// The platform's libpcap: on Windows the wpcap.dll found when first asked for (from Npcap's
// folder under the system directory, then the default search path) and kept for the rest of the
// process. Nothing when there is none or it lacks a call the program needs; `reason` then says
// which, in words an operator can act on.
const PcapFunctions* SystemPcapFunctions(std::string& reason);

// Owns a libpcap handle, live or on a capture file, and closes it through the library that
// made it.
struct PcapCloser {
    decltype(&pcap_close) close = nullptr;
    void operator()(pcap_t* handle) const { close(handle); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

static_assert(sizeof(BpfInstruction) == sizeof(bpf_insn));
static_assert(offsetof(BpfInstruction, code) == offsetof(bpf_insn, code));
static_assert(offsetof(BpfInstruction, jt) == offsetof(bpf_insn, jt));
static_assert(offsetof(BpfInstruction, jf) == offsetof(bpf_insn, jf));
static_assert(offsetof(BpfInstruction, k) == offsetof(bpf_insn, k));

// The filter program in libpcap's own instruction type.
inline std::vector<bpf_insn> ToBpfInsns(std::span<const BpfInstruction> program) {
    std::vector<bpf_insn> insns(program.size());
    for (size_t i = 0; i < program.size(); ++i) {
        insns[i] = {program[i].code, program[i].jt, program[i].jf, program[i].k};
    }
    return insns;
}

}  // namespace korvane
