#include "app/packet_filters.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/pcap_functions.h"

namespace korvane {
namespace {

// Runs a filter program over a frame with the platform's libpcap interpreter, as the capture
// driver runs it; the result is the number of bytes kept (0: rejected).
template <size_t N>
unsigned Keep(const std::array<BpfInstruction, N>& program, const std::vector<uint8_t>& frame) {
    std::string missing;
    const PcapFunctions* pcap = SystemPcapFunctions(missing);
    if (pcap == nullptr) {
        ADD_FAILURE() << missing;
        return 0;
    }
    std::vector<bpf_insn> code = ToBpfInsns(program);
    return pcap->filter(code.data(), frame.data(), static_cast<u_int>(frame.size()),
                        static_cast<u_int>(frame.size()));
}

void Put16(std::vector<uint8_t>& f, size_t at, uint16_t v) {
    f[at] = static_cast<uint8_t>(v >> 8);
    f[at + 1] = static_cast<uint8_t>(v);
}

// An IPv4 frame of `size` bytes with the given protocol, header length and destination port.
std::vector<uint8_t> Ipv4Frame(uint8_t protocol, uint16_t dstPort, size_t headerBytes = 20,
                               uint16_t fragment = 0, uint32_t dst = 0x0A000001,
                               size_t size = 2000) {
    std::vector<uint8_t> f(size, 0);
    Put16(f, 12, 0x0800);
    f[14] = static_cast<uint8_t>(0x40 | (headerBytes / 4));
    Put16(f, 20, fragment);
    f[23] = protocol;
    for (int i = 0; i < 4; ++i) {
        f[30 + i] = static_cast<uint8_t>(dst >> (24 - 8 * i));
    }
    Put16(f, 14 + headerBytes + 2, dstPort);
    return f;
}

constexpr uint32_t kServer = 0x0A000001;

// A segment of the server's from `srcPort` with TCP `flags`, behind a header of `headerBytes`.
std::vector<uint8_t> FromServer(uint8_t flags, uint16_t srcPort = 2300, uint32_t src = kServer,
                                uint8_t protocol = 6, size_t headerBytes = 20) {
    std::vector<uint8_t> f = Ipv4Frame(protocol, 40000, headerBytes, 0, 0x0A000005);
    for (int i = 0; i < 4; ++i) {
        f[26 + i] = static_cast<uint8_t>(src >> (24 - 8 * i));
    }
    Put16(f, 14 + headerBytes, srcPort);
    f[14 + headerBytes + 13] = flags;
    return f;
}

std::vector<uint8_t> Ipv6Frame(uint8_t nextHeader, uint16_t dstPort) {
    std::vector<uint8_t> f(200, 0);
    Put16(f, 12, 0x86DD);
    f[20] = nextHeader;
    Put16(f, 56, dstPort);
    return f;
}

TEST(PortFilter, PassesTcpUdpSctpToThePortKeepingWholeFrames) {
    auto filter = MakePortFilter(2300, kServer);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2300)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(17, 2300)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(0x84, 2300)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv6Frame(6, 2300)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv6Frame(0x84, 2300)), 65549u);
}

TEST(PortFilter, RejectsOtherPortsProtocolsAndLaterFragments) {
    auto filter = MakePortFilter(2300, kServer);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2301)), 0u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(1, 2300)), 0u);  // ICMP
    EXPECT_EQ(Keep(filter, Ipv6Frame(17, 80)), 0u);
    EXPECT_EQ(Keep(filter, Ipv6Frame(58, 2300)), 0u);
    // A later fragment, not to the server.
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2300, 20, 0x0010, 0x0A000002)), 0u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2300, 20, 0x4000)), 65549u);  // don't fragment: fine
}

// Beyond what it always passed: the later fragments of datagrams to the server, whole, and the
// headers of the server's handshake segments.
TEST(PortFilter, PassesLaterFragmentsToTheServerAndItsSynAndRstHeaders) {
    const auto filter = MakePortFilter(2300, kServer);
    const struct {
        const char* what;
        std::vector<uint8_t> frame;
        unsigned kept;
    } cases[] = {
        {"later fragment to the server", Ipv4Frame(6, 9, 20, 0x0010, kServer), 65549},
        {"last fragment to the server", Ipv4Frame(17, 9, 20, 0x00B9, kServer), 65549},
        {"later fragment elsewhere", Ipv4Frame(6, 2300, 20, 0x0010, 0x0A000002), 0},
        {"SYN-ACK", FromServer(0x12), 134},
        {"RST", FromServer(0x04), 134},
        {"RST-ACK behind IP options", FromServer(0x14, 2300, kServer, 6, 24), 134},
        {"ACK alone", FromServer(0x10), 0},
        {"data", FromServer(0x18), 0},
        {"SYN from another port", FromServer(0x12, 2301), 0},
        {"SYN from another address", FromServer(0x12, 2300, 0x0A000002), 0},
        {"UDP from the port", FromServer(0x12, 2300, kServer, 17), 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Keep(filter, c.frame), c.kept) << c.what;
    }
}

TEST(PortFilter, FindsThePortBehindIpOptions) {
    auto filter = MakePortFilter(2300, kServer);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2300, 24)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2301, 24)), 0u);
}

TEST(PortFilter, WritesThePortIntoBothSlots) {
    auto filter = MakePortFilter(47624, kServer);
    for (size_t slot : {7, 17, 23}) {
        EXPECT_EQ(filter[slot].k, 47624u) << slot;
    }
    for (size_t slot : {21, 27}) {
        EXPECT_EQ(filter[slot].k, kServer) << slot;
    }
    EXPECT_EQ(Keep(filter, FromServer(0x12, 47624)), 134u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 47624)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv6Frame(6, 47624)), 65549u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 2300)), 0u);
}

TEST(HostFilter, PassesIpv4ToTheAddressKeeping96BytesBeyondAnyOptions) {
    auto filter = MakeHostFilter(0x0A000001);
    EXPECT_EQ(filter[3].k, 0x0A000001u);
    EXPECT_EQ(filter[7].k, 0x0A000001u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 1, 20, 0, 0x0A000001)), 176u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(17, 1, 20, 0, 0x0A000001)), 176u);
    EXPECT_EQ(Keep(filter, Ipv4Frame(6, 1, 20, 0, 0x0A000002)), 0u);
    EXPECT_EQ(Keep(filter, Ipv6Frame(6, 2300)), 0u);
}

TEST(HostFilter, PassesArpAndRarpForTheAddress) {
    auto filter = MakeHostFilter(0x7F000001);
    for (uint16_t type : {uint16_t{0x0806}, uint16_t{0x8035}}) {
        std::vector<uint8_t> f(60, 0);
        Put16(f, 12, type);
        f[38] = 127;
        f[41] = 1;
        EXPECT_EQ(Keep(filter, f), 176u) << type;
        f[41] = 2;
        EXPECT_EQ(Keep(filter, f), 0u) << type;
    }
}

}  // namespace
}  // namespace korvane
