#include "platform/pcap_capture_library.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace korvane {
namespace {

uint32_t U32At(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

uint16_t NetU16At(std::span<const uint8_t> b, size_t at) {
    return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

struct ParsedList {
    std::vector<std::string> names;
    std::vector<std::string> descriptions;
    size_t length = 0;  // bytes up to and including the final terminator
};

// Reads the wide form back: UTF-16LE names up to an empty one, then 8-bit descriptions up to an
// empty one. Fails the test when the form is broken.
ParsedList ParseWideList(std::span<const uint8_t> buffer) {
    ParsedList list;
    size_t at = 0;
    for (;;) {
        std::string name;
        for (;;) {
            if (at + 1 >= buffer.size()) {
                ADD_FAILURE() << "names run past the buffer";
                return list;
            }
            uint16_t unit = static_cast<uint16_t>(buffer[at] | buffer[at + 1] << 8);
            at += 2;
            if (unit == 0) {
                break;
            }
            EXPECT_LT(unit, 0x100) << "unit is not a byte value";
            name += static_cast<char>(unit);
        }
        if (name.empty()) {
            break;
        }
        list.names.push_back(name);
    }
    for (;;) {
        std::string description;
        for (;;) {
            if (at >= buffer.size()) {
                ADD_FAILURE() << "descriptions run past the buffer";
                return list;
            }
            uint8_t c = buffer[at++];
            if (c == 0) {
                break;
            }
            description += static_cast<char>(c);
        }
        if (description.empty()) {
            break;
        }
        list.descriptions.push_back(description);
    }
    list.length = at;
    return list;
}

std::vector<uint8_t> Wide(const std::string& name) {
    std::vector<uint8_t> units;
    for (char c : name) {
        units.push_back(static_cast<uint8_t>(c));
        units.push_back(0);
    }
    return units;
}

std::vector<uint8_t> Narrow(const std::string& name) {
    return {name.begin(), name.end()};
}

// libpcap's own description of a device, or "" when it has none or lists no such device.
std::string LibpcapDescription(const std::string& name) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* devices = nullptr;
    if (pcap_findalldevs(&devices, error) != 0) {
        return "";
    }
    std::string text;
    for (pcap_if_t* d = devices; d != nullptr; d = d->next) {
        if (name == d->name && d->description != nullptr) {
            text = d->description;
        }
    }
    pcap_freealldevs(devices);
    return text;
}

TEST(PcapCaptureLibrary, VersionAndPlatformWord) {
    auto library = MakePcapCaptureLibrary();
    EXPECT_NE(library->Version().find("libpcap"), std::string::npos) << library->Version();
    EXPECT_TRUE(WantsWideAdapterList(library->PlatformVersion()));
    EXPECT_EQ(library->PlatformVersion() & 0x80000000u, 0u);
}

TEST(PcapCaptureLibrary, AdapterListIsWideWithADescriptionPerName) {
    auto library = MakePcapCaptureLibrary();
    std::vector<uint8_t> buffer(16384, 0xEE);
    ASSERT_TRUE(library->GetAdapterNames(buffer));
    ParsedList list = ParseWideList(buffer);
    ASSERT_FALSE(list.names.empty());
    ASSERT_EQ(list.names.size(), list.descriptions.size());

    std::map<std::string, std::string> byName;
    for (size_t i = 0; i < list.names.size(); ++i) {
        byName[list.names[i]] = list.descriptions[i];
        EXPECT_EQ(list.descriptions[i].rfind(list.names[i], 0) == 0 ||
                      list.descriptions[i] == LibpcapDescription(list.names[i]),
                  true)
            << list.names[i] << ": " << list.descriptions[i];
    }
    ASSERT_EQ(byName.count("lo"), 1u);
    std::string own = LibpcapDescription("lo");
    EXPECT_EQ(byName["lo"], own.empty() ? "lo 127.0.0.1" : own);

    // Pseudo devices that carry no Ethernet frames are left out.
    for (const char* pseudo : {"any", "nflog", "nfqueue", "dbus-system", "bluetooth-monitor"}) {
        EXPECT_EQ(byName.count(pseudo), 0u) << pseudo;
    }
    for (const std::string& name : list.names) {
        EXPECT_NE(name.rfind("usbmon", 0), 0u) << name;
    }
}

// The loopback device is the one with 127.0.0.1; an unlisted device has no address.
TEST(PcapCaptureLibrary, AddressingTellsTheLoopbackDeviceAndItsAddress) {
    auto library = MakePcapCaptureLibrary();
    const AdapterAddressing lo = library->Addressing(Wide("lo"), true);
    EXPECT_TRUE(lo.loopback);
    EXPECT_EQ(lo.firstIPv4, 0x7F000001u);
    const AdapterAddressing none = library->Addressing(Wide("nosuchdev7"), true);
    EXPECT_FALSE(none.loopback);
    EXPECT_EQ(none.firstIPv4, std::nullopt);
}

TEST(PcapCaptureLibrary, AdapterListThatDoesNotFitKeepsTheLeadingAdaptersWithoutOverrun) {
    auto library = MakePcapCaptureLibrary();
    std::vector<uint8_t> full(16384);
    ASSERT_TRUE(library->GetAdapterNames(full));
    ParsedList all = ParseWideList(full);
    size_t needed = all.length;
    ASSERT_GT(needed, 3u);

    for (size_t size : {size_t{0}, size_t{2}}) {
        std::vector<uint8_t> storage(8, 0xEE);
        EXPECT_FALSE(library->GetAdapterNames(std::span(storage.data(), size))) << size;
        for (uint8_t b : storage) {
            ASSERT_EQ(b, 0xEE) << "size " << size;
        }
    }
    for (size_t size : {size_t{3}, needed / 2, needed - 1, needed}) {
        std::vector<uint8_t> storage(needed + 8, 0xEE);
        ASSERT_TRUE(library->GetAdapterNames(std::span(storage.data(), size))) << size;
        for (size_t i = size; i < storage.size(); ++i) {
            ASSERT_EQ(storage[i], 0xEE) << "size " << size << " byte " << i;
        }
        ParsedList part = ParseWideList(std::span(storage.data(), size));
        EXPECT_LE(part.length, size);
        ASSERT_EQ(part.names.size(), part.descriptions.size()) << size;
        ASSERT_LE(part.names.size(), all.names.size());
        EXPECT_EQ(part.names.size() == all.names.size(), size == needed) << size;
        for (size_t i = 0; i < part.names.size(); ++i) {
            EXPECT_EQ(part.names[i], all.names[i]);
            EXPECT_EQ(part.descriptions[i], all.descriptions[i]);
        }
    }
}

TEST(PcapCaptureLibrary, EmptyNameDoesNotOpen) {
    auto library = MakePcapCaptureLibrary();
    EXPECT_EQ(library->OpenAdapter({}, true), nullptr);
    EXPECT_NE(library->LastError(), 0ul);
    std::vector<uint8_t> zeros(16, 0);
    EXPECT_EQ(library->OpenAdapter(zeros, true), nullptr);
    EXPECT_EQ(library->OpenAdapter(zeros, false), nullptr);
    EXPECT_EQ(library->LastError(), static_cast<unsigned long>(ENODEV));
}

TEST(PcapCaptureLibrary, MissingDeviceGivesNoSuchDevice) {
    auto library = MakePcapCaptureLibrary();
    EXPECT_EQ(library->OpenAdapter(Wide("nosuchdev7"), true), nullptr);
    if (geteuid() != 0) {
        // Without the right to open capture sockets the permission check comes first.
        EXPECT_NE(library->LastError(), 0ul);
        return;
    }
    EXPECT_EQ(library->LastError(), static_cast<unsigned long>(ENODEV));
}

TEST(PcapCaptureLibrary, NonEthernetDeviceIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "opening capture devices needs root (euid " << geteuid() << ")";
    }
    auto library = MakePcapCaptureLibrary();
    // "any" captures in the cooked Linux format, not Ethernet.
    EXPECT_EQ(library->OpenAdapter(Narrow("any"), false), nullptr);
    unsigned long code = library->LastError();
    EXPECT_NE(code, 0ul);
    EXPECT_NE(code, static_cast<unsigned long>(ENODEV));
    EXPECT_NE(code, static_cast<unsigned long>(EACCES));
}

// Accepts IPv4 frames of the given protocol to `port`, keeping `keep` bytes.
std::vector<BpfInstruction> ToPort(uint8_t protocol, uint16_t port, uint32_t keep) {
    return {
        {0x28, 0, 0, 12},        // ldh [12]
        {0x15, 0, 6, 0x0800},    // IPv4? no: reject
        {0x30, 0, 0, 23},        // ldb [23]
        {0x15, 0, 4, protocol},  // the protocol? no: reject
        {0xB1, 0, 0, 14},        // x = IPv4 header length
        {0x48, 0, 0, 16},        // ldh [x + 16], the destination port
        {0x15, 0, 1, port},      // port? no: reject
        {0x06, 0, 0, keep},      // ret #keep
        {0x06, 0, 0, 0},         // ret #0
    };
}

std::vector<BpfInstruction> TcpToPort(uint16_t port, uint32_t keep) {
    return ToPort(IPPROTO_TCP, port, keep);
}

std::vector<BpfInstruction> UdpToPort(uint16_t port, uint32_t keep) {
    return ToPort(IPPROTO_UDP, port, keep);
}

class Socket {
  public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

  private:
    int fd_;
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// What the reads of a live capture showed.
struct Observed {
    bool sawSyn = false;
    bool sawMarker = false;
    size_t payloadBytes = 0;
    size_t records = 0;
    size_t largestBatch = 0;
};

// Captures on lo while a client sends three 200-byte segments to a listener of the test's own,
// through a filter that passes only TCP to the listener's port and keeps 100 bytes of a frame.
class LiveLoopbackCapture : public ::testing::Test {
  protected:
    static constexpr uint32_t kKeep = 100;
    static constexpr size_t kSegment = 200;
    static constexpr int kSegments = 3;

    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "capturing on lo needs root (euid " << geteuid() << ")";
        }
        listener_ = std::make_unique<Socket>(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_GE(listener_->fd(), 0);
        sockaddr_in address = Loopback(0);
        ASSERT_EQ(bind(listener_->fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ASSERT_EQ(listen(listener_->fd(), 1), 0);
        socklen_t length = sizeof address;
        ASSERT_EQ(getsockname(listener_->fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        port_ = ntohs(address.sin_port);

        library_ = MakePcapCaptureLibrary();
        adapter_ = library_->OpenAdapter(Wide("lo"), true);
        if (adapter_ == nullptr) {
            unsigned long code = library_->LastError();
            if (code == EACCES || code == EPERM) {
                GTEST_SKIP() << "no permission to capture on lo (error " << code << ")";
            }
            FAIL() << "lo did not open, error " << code;
        }
        EXPECT_TRUE(adapter_->SetHwFilter(kPromiscuousFilter));
        EXPECT_TRUE(adapter_->SetBuff(1 << 20));
        EXPECT_TRUE(adapter_->SetReadTimeout(200));
        ASSERT_TRUE(adapter_->SetBpf(TcpToPort(port_, kKeep)));
    }

    void SendSegments() {
        Socket client(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_GE(client.fd(), 0);
        timeval limit{2, 0};
        setsockopt(client.fd(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        int on = 1;
        setsockopt(client.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        sockaddr_in server = Loopback(port_);
        ASSERT_EQ(connect(client.fd(), reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
        Socket accepted(accept(listener_->fd(), nullptr, nullptr));
        ASSERT_GE(accepted.fd(), 0);
        setsockopt(accepted.fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        for (int i = 0; i < kSegments; ++i) {
            std::string payload = "KORVANE-" + std::to_string(i);
            payload.resize(kSegment, static_cast<char>('a' + i));
            ASSERT_EQ(send(client.fd(), payload.data(), payload.size(), 0),
                      static_cast<ssize_t>(payload.size()));
        }
        size_t got = 0;
        std::vector<char> sink(4096);
        for (int tries = 0; tries < 50 && got < kSegment * kSegments; ++tries) {
            ssize_t n = recv(accepted.fd(), sink.data(), sink.size(), 0);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        ASSERT_EQ(got, kSegment * kSegments);
    }

    // Reads batches of at most `bufferSize` bytes until the handshake and all payload bytes were
    // seen (or a bounded number of reads), checking every record on the way.
    Observed Collect(size_t bufferSize) {
        Observed seen;
        auto packet = library_->AllocatePacket();
        EXPECT_NE(packet, nullptr);
        if (packet == nullptr) {
            return seen;
        }
        std::vector<uint8_t> buffer(bufferSize);
        packet->Init(buffer);
        const auto now = static_cast<int64_t>(std::time(nullptr));
        for (int read = 0; read < 40 && !(seen.sawSyn && seen.payloadBytes >= kSegment * kSegments);
             ++read) {
            EXPECT_TRUE(adapter_->ReceivePacket(*packet));
            EXPECT_LE(packet->bytesReceived, buffer.size());
            seen.largestBatch = std::max<size_t>(seen.largestBatch, packet->bytesReceived);
            std::span<const uint8_t> batch(buffer.data(), packet->bytesReceived);
            size_t at = 0;
            while (at < batch.size()) {
                if (at + kCaptureHeaderLength > batch.size()) {
                    ADD_FAILURE() << "record header past the batch at " << at;
                    return seen;
                }
                uint32_t seconds = U32At(batch, at);
                uint32_t micros = U32At(batch, at + 4);
                uint32_t captured = U32At(batch, at + 8);
                uint32_t wire = U32At(batch, at + 12);
                EXPECT_EQ(batch[at + 16], kCaptureHeaderLength);
                EXPECT_EQ(batch[at + 17], 0);
                if (at + kCaptureHeaderLength + captured > batch.size() || captured < 54) {
                    ADD_FAILURE() << "bad record at " << at << ", captured " << captured;
                    return seen;
                }
                EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(now), 60.0);
                EXPECT_LT(micros, 1000000u);
                EXPECT_EQ(captured, std::min(wire, kKeep)) << "the filter's return cuts the frame";

                std::span<const uint8_t> frame = batch.subspan(at + kCaptureHeaderLength, captured);
                EXPECT_EQ(NetU16At(frame, 12), 0x0800);
                EXPECT_EQ(frame[23], 6);
                size_t ipHeader = 4u * (frame[14] & 0x0F);
                EXPECT_EQ(NetU16At(frame, 14 + ipHeader + 2), port_) << "only traffic to the port";
                size_t tcpHeader = 4u * (frame[14 + ipHeader + 12] >> 4);
                size_t payloadStart = 14 + ipHeader + tcpHeader;
                size_t payload = NetU16At(frame, 16) - ipHeader - tcpHeader;
                if ((frame[14 + ipHeader + 13] & 0x02) != 0) {
                    seen.sawSyn = true;
                }
                if (payload > 0 && frame.size() >= payloadStart + 9 &&
                    std::string(frame.begin() + static_cast<long>(payloadStart),
                                frame.begin() + static_cast<long>(payloadStart + 9)) ==
                        "KORVANE-0") {
                    seen.sawMarker = true;
                }
                seen.payloadBytes += payload;
                ++seen.records;
                at = (at + kCaptureHeaderLength + captured + 3) & ~size_t{3};
            }
        }
        return seen;
    }

    std::unique_ptr<Socket> listener_;
    uint16_t port_ = 0;
    std::unique_ptr<CaptureLibrary> library_;
    std::unique_ptr<CaptureAdapter> adapter_;
};

TEST_F(LiveLoopbackCapture, SeesTheTcpTrafficToThePortCutByTheFilter) {
    SendSegments();
    Observed seen = Collect(262144);
    EXPECT_TRUE(seen.sawSyn);
    EXPECT_TRUE(seen.sawMarker);
    EXPECT_EQ(seen.payloadBytes, kSegment * kSegments);
    auto stats = adapter_->GetStats();
    ASSERT_TRUE(stats.has_value());
    EXPECT_GT(stats->received, 0u);
    EXPECT_GE(stats->received, seen.records);
}

TEST_F(LiveLoopbackCapture, FrameThatDoesNotFitWaitsForTheNextRead) {
    SendSegments();
    // Room for one record of at most 20 + 100 bytes but not for a second one: every frame after
    // the first of a burst has to be held over, and none may be lost.
    Observed seen = Collect(150);
    EXPECT_TRUE(seen.sawSyn);
    EXPECT_TRUE(seen.sawMarker);
    EXPECT_EQ(seen.payloadBytes, kSegment * kSegments);
    EXPECT_LE(seen.largestBatch, 120u);
}

TEST(PcapCaptureLibrary, ReadWithNothingToCaptureReturnsAfterTheTimeout) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "capturing on lo needs root (euid " << geteuid() << ")";
    }
    auto library = MakePcapCaptureLibrary();
    auto adapter = library->OpenAdapter(Narrow("lo"), false);
    ASSERT_NE(adapter, nullptr) << library->LastError();
    ASSERT_TRUE(adapter->SetReadTimeout(150));
    // Port 9 (discard) is not used by anything on this loopback.
    ASSERT_TRUE(adapter->SetBpf(TcpToPort(9, 1500)));
    std::vector<uint8_t> buffer(4096);
    CapturePacket packet;
    packet.Init(buffer);
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    ASSERT_TRUE(adapter->ReceivePacket(packet));
    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    double elapsed = static_cast<double>(end.tv_sec - start.tv_sec) +
                     static_cast<double>(end.tv_nsec - start.tv_nsec) / 1e9;
    EXPECT_EQ(packet.bytesReceived, 0u);
    EXPECT_GE(elapsed, 0.14);
    EXPECT_LT(elapsed, 1.0);
    // Settings that only count before capturing starts are refused afterwards.
    EXPECT_FALSE(adapter->SetBuff(1 << 20));
}

TEST(PcapCaptureLibrary, BurstOfSmallFramesIsHeldUntilRead) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "capturing on lo needs root (euid " << geteuid() << ")";
    }
    Socket listener(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(listener.fd(), 0);
    sockaddr_in address = Loopback(0);
    ASSERT_EQ(bind(listener.fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
    const uint16_t port = ntohs(address.sin_port);

    auto library = MakePcapCaptureLibrary();
    auto adapter = library->OpenAdapter(Wide("lo"), true);
    if (adapter == nullptr) {
        unsigned long code = library->LastError();
        if (code == EACCES || code == EPERM) {
            GTEST_SKIP() << "no permission to capture on lo (error " << code << ")";
        }
        FAIL() << "lo did not open, error " << code;
    }
    // The settings the program uses: a 1 MiB kernel buffer and a filter keeping 1500 bytes.
    EXPECT_TRUE(adapter->SetHwFilter(kPromiscuousFilter));
    EXPECT_TRUE(adapter->SetBuff(1 << 20));
    EXPECT_TRUE(adapter->SetReadTimeout(100));
    ASSERT_TRUE(adapter->SetBpf(UdpToPort(port, 1500))) << adapter->ErrorText();

    // The whole burst goes out before the first read, so the kernel has to hold all of it.
    constexpr size_t kBurst = 200;
    constexpr size_t kPayload = 32;
    Socket sender(socket(AF_INET, SOCK_DGRAM, 0));
    ASSERT_GE(sender.fd(), 0);
    for (size_t i = 0; i < kBurst; ++i) {
        std::string payload = "BURST-" + std::to_string(i);
        payload.resize(kPayload, '.');
        ASSERT_EQ(sendto(sender.fd(), payload.data(), payload.size(), 0,
                         reinterpret_cast<const sockaddr*>(&address), sizeof address),
                  static_cast<ssize_t>(payload.size()));
    }

    std::vector<uint8_t> buffer(262144);
    CapturePacket packet;
    packet.Init(buffer);
    size_t records = 0;
    int emptyReads = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (records < kBurst && emptyReads < 3 && std::chrono::steady_clock::now() < deadline) {
        ASSERT_TRUE(adapter->ReceivePacket(packet)) << adapter->ErrorText();
        if (packet.bytesReceived == 0) {
            ++emptyReads;
            continue;
        }
        std::span<const uint8_t> batch(buffer.data(), packet.bytesReceived);
        size_t at = 0;
        while (at < batch.size()) {
            ASSERT_LE(at + kCaptureHeaderLength, batch.size());
            uint32_t captured = U32At(batch, at + 8);
            ASSERT_LE(at + kCaptureHeaderLength + captured, batch.size());
            ASSERT_EQ(captured, 14u + 20u + 8u + kPayload);
            std::span<const uint8_t> frame = batch.subspan(at + kCaptureHeaderLength, captured);
            EXPECT_EQ(std::string(frame.begin() + 42, frame.begin() + 48), "BURST-");
            ++records;
            at = (at + kCaptureHeaderLength + captured + 3) & ~size_t{3};
        }
    }
    auto stats = adapter->GetStats();
    ASSERT_TRUE(stats.has_value());
    std::printf("burst of %zu: %zu delivered, %u received, %u dropped by the kernel\n", kBurst,
                records, stats->received, stats->dropped);
    EXPECT_GE(records, kBurst - 10);
    EXPECT_LE(stats->dropped, 10u);
}

TEST(PcapCaptureLibrary, FailedActivationKeepsTheLibraryText) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "opening capture devices needs root (euid " << geteuid() << ")";
    }
    auto library = MakePcapCaptureLibrary();
    auto adapter = library->OpenAdapter(Narrow("lo"), false);
    ASSERT_NE(adapter, nullptr) << library->LastError();
    EXPECT_EQ(adapter->ErrorText(), "");

    // A child that gives up root before capturing starts cannot make the capture socket, so
    // its first read fails in the activation.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) {
            _exit(2);
        }
        std::vector<uint8_t> buffer(4096);
        CapturePacket packet;
        packet.Init(buffer);
        const bool read = adapter->ReceivePacket(packet);
        const bool readAgain = adapter->ReceivePacket(packet);
        const std::string text = adapter->ErrorText();
        if (write(fds[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
            _exit(4);
        }
        _exit(read || readAgain ? 3 : 0);
    }
    close(fds[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) {
        GTEST_SKIP() << "a child could not give up root (setresuid to 65534 failed)";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "reads without the right to capture must fail";
    std::printf("activation failure: %s\n", text.c_str());
    EXPECT_NE(text.find("lo"), std::string::npos) << text;
    EXPECT_NE(text.find("ermission"), std::string::npos) << text;
}

}  // namespace
}  // namespace korvane
