// A player whose TCP segments reach the server as IPv4 fragments, guarded live. The test builds
// three network namespaces of its own: the client's (10.77.1.2, MTU 1500), a router's that
// forwards between 10.77.1.0/24 and 10.77.2.0/24 with an MTU of 576 on its far side, and the
// server's (10.77.2.2, MTU 576), whose route back advertises a segment size of 1460 so that the
// client sends segments longer than that MTU. The client clears Don't Fragment, so the router
// cuts each longer segment into two fragments. The stand-in game server, the program
// (`/adapter:<the server's veth> /host:10.77.2.2 /port:<port>`) and tcpdump run in the server
// namespace; the player connects from the client namespace and uploads an Atlas with jump jets
// in three pieces of about 1,000 bytes, each a segment of its own. The test proves from
// tcpdump's capture that fragments with a non-zero offset reached the server's adapter, and
// that the program put the datagrams back together: it logs the verdict for the player, and
// the stand-in receives the kick and the removal. Needs root and network namespaces (`ip netns
// add`); skipped with the reason printed where either is missing. The namespaces, and the
// veths in them, are removed at the end, also when the test fails.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/link/link_world.h"
#include "tests/support/child_process.h"
#include "tests/support/live_players.h"
#include "tests/support/standin_process.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"
#include "tools/unique_fd.h"
#include "tools/variant_builder.h"

namespace korvane {
namespace {

using korvane::testing::ArrivedOn;
using korvane::testing::ChatLine;
using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::Player;
using korvane::testing::ReadWholeFile;
using korvane::testing::SplitLines;
using korvane::testing::StandinArgs;
using korvane::testing::StandinProcess;
using korvane::testing::WaitForText;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using namespace std::chrono_literals;

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kSysctl = "/usr/sbin/sysctl";
constexpr const char* kTcpdump = "/usr/bin/tcpdump";

constexpr uint32_t kClient = 0x0A4D0102;  // 10.77.1.2
constexpr uint32_t kServer = 0x0A4D0202;  // 10.77.2.2
constexpr int kFarMtu = 576;
constexpr uint32_t kAtlasVariant = 958 * 65536 + 1;
constexpr uint16_t kJumpJets = 815;
constexpr uint16_t kLargeLaser = 888;

// Runs a command to its end (10 seconds at most), its output to `log`; its exit status, or -1.
int Run(const std::filesystem::path& dir, const std::filesystem::path& log,
        const std::vector<std::string>& command) {
    ChildProcess child(command.front(), {command.begin() + 1, command.end()},
                       ChildProcess::In(dir, log));
    return child.Wait(10s).value_or(-1);
}

// Runs `work` on a thread of its own that has entered the network namespace `name` (made by
// `ip netns add`): sockets it opens belong to that namespace, whichever thread uses them later.
// False when the namespace cannot be entered.
bool InNamespace(const std::string& name, const std::function<void()>& work) {
    bool entered = false;
    std::thread worker([&] {
        tools::UniqueFd handle(::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC));
        if (!handle.valid() || ::setns(handle.get(), CLONE_NEWNET) != 0) {
            return;
        }
        entered = true;
        work();
    });
    worker.join();
    return entered;
}

// Turns transmit checksum offload off on `device` of the calling thread's namespace, as
// `ethtool -K <device> tx off` does: a veth would otherwise hand on the sender's segments with
// only the pseudo header's sum in their checksum, which the program takes from local senders
// alone, not from a client behind a router.
bool TransmitChecksumsOff(const std::string& device) {
    tools::UniqueFd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ethtool_value value{};
    value.cmd = ETHTOOL_STXCSUM;
    value.data = 0;
    ifreq request{};
    std::strncpy(request.ifr_name, device.c_str(), IFNAMSIZ - 1);
    request.ifr_data = reinterpret_cast<char*>(&value);
    return control.valid() && ::ioctl(control.get(), SIOCETHTOOL, &request) == 0;
}

// The client, router and server namespaces of one run, their veth pairs and addresses. The
// namespaces (and with them the veths inside) are removed when it goes away.
class FragmentingPath {
  public:
    explicit FragmentingPath(const std::filesystem::path& dir)
        : dir_(dir),
          client_("kv-cli-" + std::to_string(::getpid())),
          router_("kv-rtr-" + std::to_string(::getpid())),
          server_("kv-srv-" + std::to_string(::getpid())),
          clientVeth_("kvc" + std::to_string(::getpid())),
          serverVeth_("kvs" + std::to_string(::getpid())) {}

    ~FragmentingPath() {
        // Run from / with no output: the test's directory may be gone by now.
        for (const std::string& name : made_) {
            Run("/", "", {kIp, "netns", "del", name});
        }
    }

    FragmentingPath(const FragmentingPath&) = delete;
    FragmentingPath& operator=(const FragmentingPath&) = delete;

    // Makes the first namespace; false with `why` set where namespaces cannot be made here.
    bool Begin(std::string& why) {
        if (::geteuid() != 0) {
            why = "network namespaces need root (euid " + std::to_string(::geteuid()) + ")";
            return false;
        }
        if (!Ip({"netns", "add", client_})) {
            why = "`ip netns add` failed: " + ReadWholeFile(dir_ / "ip.out");
            return false;
        }
        made_.push_back(client_);
        return true;
    }

    // Makes the rest; false with `why` set at the first step that fails.
    bool Build(std::string& why) {
        const std::string routerIn = "kvrc" + std::to_string(::getpid());
        const std::string routerOut = "kvrs" + std::to_string(::getpid());
        const std::string mtu = std::to_string(kFarMtu);
        const std::vector<std::vector<std::string>> steps = {
            {"netns", "add", router_},
            {"netns", "add", server_},
            {"link", "add", clientVeth_, "netns", client_, "type", "veth", "peer", "name", routerIn,
             "netns", router_},
            {"link", "add", routerOut, "netns", router_, "type", "veth", "peer", "name",
             serverVeth_, "netns", server_},
            {"-n", client_, "link", "set", "lo", "up"},
            {"-n", router_, "link", "set", "lo", "up"},
            {"-n", server_, "link", "set", "lo", "up"},
            {"-n", client_, "address", "add", "10.77.1.2/24", "dev", clientVeth_},
            {"-n", client_, "link", "set", clientVeth_, "mtu", "1500", "up"},
            {"-n", client_, "route", "add", "default", "via", "10.77.1.1"},
            {"-n", router_, "address", "add", "10.77.1.1/24", "dev", routerIn},
            {"-n", router_, "address", "add", "10.77.2.1/24", "dev", routerOut},
            {"-n", router_, "link", "set", routerIn, "mtu", "1500", "up"},
            {"-n", router_, "link", "set", routerOut, "mtu", mtu, "up"},
            {"-n", server_, "address", "add", "10.77.2.2/24", "dev", serverVeth_},
            {"-n", server_, "link", "set", serverVeth_, "mtu", mtu, "up"},
            // The server's own MTU would make it advertise a segment size of 536, and the
            // client would never send a segment the router has to cut.
            {"-n", server_, "route", "add", "default", "via", "10.77.2.1", "advmss", "1460"},
        };
        for (const auto& step : steps) {
            if (!Ip(step)) {
                why = "ip " + Joined(step) + ": " + ReadWholeFile(dir_ / "ip.out");
                return false;
            }
            if (step[0] == "netns") {
                made_.push_back(step[2]);
            }
        }
        if (Run(dir_, dir_ / "sysctl.out",
                {kIp, "netns", "exec", router_, kSysctl, "-w", "net.ipv4.ip_forward=1"}) != 0) {
            why = "sysctl in the router: " + ReadWholeFile(dir_ / "sysctl.out");
            return false;
        }
        int error = -1;
        if (!InNamespace(client_, [&] { error = TransmitChecksumsOff(clientVeth_) ? 0 : errno; }) ||
            error != 0) {
            why = "transmit checksum offload cannot be turned off on " + clientVeth_ + ": " +
                  (error > 0 ? std::strerror(error) : "the namespace cannot be entered");
            return false;
        }
        return true;
    }

    // The command that runs a program in the server's namespace, the program to follow.
    std::vector<std::string> InServer() const { return {kIp, "netns", "exec", server_}; }

    const std::string& client() const { return client_; }
    const std::string& serverVeth() const { return serverVeth_; }

  private:
    bool Ip(const std::vector<std::string>& args) {
        std::vector<std::string> command = {kIp};
        command.insert(command.end(), args.begin(), args.end());
        return Run(dir_, dir_ / "ip.out", command) == 0;
    }

    static std::string Joined(const std::vector<std::string>& words) {
        std::string text;
        for (const std::string& word : words) {
            text += (text.empty() ? "" : " ") + word;
        }
        return text;
    }

    std::filesystem::path dir_;
    std::string client_;
    std::string router_;
    std::string server_;
    std::string clientVeth_;
    std::string serverVeth_;
    std::vector<std::string> made_;
};

// The number the program lists `device` under, as it lists the adapters it runs among, or 0:
// read from the list it prints when its prompt gets no input.
int AdapterNumber(const std::filesystem::path& dir, const std::vector<std::string>& via,
                  const std::string& device) {
    const std::filesystem::path scratch = dir / "adapters";
    std::filesystem::create_directories(scratch);
    std::vector<std::string> command = via;
    command.push_back(KORVANE_EXE);
    command.push_back("/test");
    Run(scratch, scratch / "korvane.out", command);
    const std::regex listed(" *([0-9]+)- " + device + "( .*)?");
    for (const std::string& line : SplitLines(ReadWholeFile(scratch / "korvane.out"))) {
        std::smatch number;
        if (std::regex_match(line, number, listed)) {
            return std::stoi(number[1]);
        }
    }
    return 0;
}

struct CapturedFrames {
    bool read = false;
    size_t frames = 0;
    size_t laterFragments = 0;  // IPv4 frames from the client with a non-zero fragment offset
    size_t firstFragments = 0;  // offset 0 with More Fragments
};

// Reads the IPv4 header of every Ethernet frame in a classic pcap file.
CapturedFrames ReadFragments(const std::filesystem::path& file) {
    const std::string bytes = ReadWholeFile(file);
    auto u8 = [&](size_t at) { return static_cast<uint8_t>(bytes[at]); };
    auto le32 = [&](size_t at) {
        return static_cast<uint32_t>(u8(at) | u8(at + 1) << 8 | u8(at + 2) << 16 |
                                     static_cast<uint32_t>(u8(at + 3)) << 24);
    };
    auto be16 = [&](size_t at) { return static_cast<uint16_t>(u8(at) << 8 | u8(at + 1)); };
    auto be32 = [&](size_t at) { return static_cast<uint32_t>(be16(at)) << 16 | be16(at + 2); };
    CapturedFrames captured;
    if (bytes.size() < 24 || le32(0) != 0xA1B2C3D4 || le32(20) != 1) {
        return captured;  // not a little-endian microsecond pcap of Ethernet frames
    }
    captured.read = true;
    for (size_t at = 24; at + 16 <= bytes.size();) {
        const size_t length = le32(at + 8);
        const size_t frame = at + 16;
        at = frame + length;
        if (at > bytes.size()) {
            break;
        }
        ++captured.frames;
        constexpr size_t kIpHeader = 14;
        if (length < kIpHeader + 20 || be16(frame + 12) != 0x0800 ||
            be32(frame + kIpHeader + 12) != kClient) {
            continue;
        }
        const uint16_t flagsAndOffset = be16(frame + kIpHeader + 6);
        if ((flagsAndOffset & 0x1FFF) != 0) {
            ++captured.laterFragments;
        } else if ((flagsAndOffset & 0x2000) != 0) {
            ++captured.firstFragments;
        }
    }
    return captured;
}

TEST(LiveFragments, JudgesAnUploadWhoseSegmentsArriveAsFragments) {
    const auto started = std::chrono::steady_clock::now();
    const auto dir = FreshDirectory("live-fragments");
    FragmentingPath path(dir);
    std::string why;
    if (!path.Begin(why)) {
        GTEST_SKIP() << "Skipped: " << why;
    }
    ASSERT_TRUE(path.Build(why)) << why;

    // tcpdump on the server's adapter, for the proof that fragments came.
    const auto pcap = dir / "server-side.pcap";
    std::vector<std::string> tcpdumpArgs = path.InServer();
    tcpdumpArgs.insert(tcpdumpArgs.end(), {kTcpdump, "-i", path.serverVeth(), "-n", "-U", "-Z",
                                           "root", "-w", pcap.string(), "ip"});
    ChildProcess tcpdump(tcpdumpArgs.front(), {tcpdumpArgs.begin() + 1, tcpdumpArgs.end()},
                         ChildProcess::In(dir, dir / "tcpdump.out"));
    ASSERT_TRUE(WaitForText(dir / "tcpdump.out", "listening on", 10s))
        << ReadWholeFile(dir / "tcpdump.out");

    StandinProcess server(dir, {"--address", "10.77.2.2", "--outside-loopback"},
                          StandinArgs::withDefaults, path.InServer());
    const int port = server.Port();
    ASSERT_GT(port, 0) << server.Errors();
    const std::string portText = std::to_string(port);

    const int adapter = AdapterNumber(dir, path.InServer(), path.serverVeth());
    ASSERT_GT(adapter, 0) << ReadWholeFile(dir / "adapters" / "korvane.out");
    const auto console = dir / "korvane.out";
    std::vector<std::string> korvaneArgs = path.InServer();
    korvaneArgs.insert(korvaneArgs.end(), {KORVANE_EXE, "/adapter:" + std::to_string(adapter),
                                           "/host:10.77.2.2", "/port:" + portText});
    ChildProcess korvane(korvaneArgs.front(), {korvaneArgs.begin() + 1, korvaneArgs.end()},
                         ChildProcess::In(dir, console));
    ASSERT_TRUE(WaitForText(console, "Analyzing traffic on server port " + portText + "...\n", 20s))
        << ReadWholeFile(console);

    // The player's socket is made in the client's namespace and used from here.
    constexpr uint32_t kId = 0x607;
    std::unique_ptr<Player> player;
    ASSERT_TRUE(InNamespace(path.client(), [&] {
        player = std::make_unique<Player>(
            Player::Path{.from = kClient, .to = kServer, .port = port, .fragmentable = true});
    }));
    ASSERT_TRUE(player->connected());
    ASSERT_TRUE(player->Send(tools::BuildCreationMessage(kId, std::string_view("Foxtrot"))));
    ASSERT_TRUE(player->Send(tools::BuildInfoMessage(kId, "Far away")));
    const std::vector<uint8_t> hopper = tools::BuildVariant(
        tools::Variant(kAtlasVariant, {{kJumpJets, 108}, {kLargeLaser, 108}}, "Hopper", 3000));
    const std::vector<std::vector<uint8_t>> pieces =
        tools::UploadMessages(kId, 90, hopper, 1000, 3);
    for (const auto& piece : pieces) {
        // Longer than the far side's MTU, within one segment of the size the server advertised.
        ASSERT_GT(piece.size(), static_cast<size_t>(kFarMtu));
        ASSERT_LT(piece.size(), 1400u);
        ASSERT_TRUE(player->Send(piece));
    }

    // The link is the stand-in's first connection, the player its second.
    const std::string removal = "[1] delete player " + std::string("00000607");
    ASSERT_TRUE(server.WaitForLine(removal, 20s))
        << ReadWholeFile(dir / "standin.out") << ReadWholeFile(console);
    player->Close();
    ASSERT_TRUE(server.WaitForClose(2, 10s)) << ReadWholeFile(dir / "standin.out");

    korvane.Terminate();
    ASSERT_EQ(korvane.Wait(20s), 0) << ReadWholeFile(console);
    const std::vector<std::string> printed = server.Stop();
    tcpdump.Terminate();
    ASSERT_TRUE(tcpdump.Wait(10s).has_value());

    // Fragments reached the server's adapter: each piece's segment came in a first fragment
    // and a later one.
    const CapturedFrames captured = ReadFragments(pcap);
    ASSERT_TRUE(captured.read) << ReadWholeFile(dir / "tcpdump.out");
    EXPECT_GE(captured.laterFragments, pieces.size());
    EXPECT_GE(captured.firstFragments, pieces.size());

    // The stand-in got the player's messages whole, and from the program the kick and the
    // removal.
    EXPECT_THAT(ArrivedOn(printed, 2), Contains("create player 00000607 \"Foxtrot\""));
    const std::vector<std::string> link = ArrivedOn(printed, 1);
    EXPECT_THAT(link,
                Contains(ChatLine(kId, 1, 0, "Illegal Jump Jets subsystem on 'Hopper'", true)))
        << ReadWholeFile(dir / "standin.out");
    EXPECT_THAT(link, Contains(ChatLine(1, kId, 0, "See ya later Foxtrot.")));
    EXPECT_THAT(link, Contains("delete player 00000607"));

    // The verdict in the log, for the player at its address behind the router.
    const std::string log = ReadWholeFile(dir / "Korvane.log");
    const std::string who = "00000607 \"Foxtrot\" [Far away] [10.77.1.2]: ";
    EXPECT_THAT(log, HasSubstr(who + "JJ Subsystem: INVALID")) << log;
    EXPECT_THAT(log, HasSubstr(who + "Atlas config 'Hopper' is INVALID: Illegal components"));
    EXPECT_THAT(SplitLines(ReadWholeFile(console)), Not(Contains(HasSubstr("Unhandled"))));

    std::printf(
        "live fragments: %zu frames captured on %s, %zu first and %zu later fragments from "
        "the client; %.1f s\n",
        captured.frames, path.serverVeth().c_str(), captured.firstFragments,
        captured.laterFragments,
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace korvane
