#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "platform/capture_library.h"

namespace korvane {

// Owns a libpcap handle, live or on a capture file, and closes it.
struct PcapCloser {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
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
