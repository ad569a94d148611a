#include "app/driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/packet_filters.h"
#include "platform/fake_capture_library.h"
#include "platform/fake_sockets.h"
#include "platform/scripted_console.h"
#include "platform/sockets.h"
#include "tests/support/program_args.h"
#include "tests/support/stream_event.h"
#include "tests/support/test_files.h"

namespace korvane {
namespace {

using korvane::testing::ReadStream;
using korvane::testing::ReadTextFile;
using korvane::testing::StreamEvent;

using ::testing::HasSubstr;
using ::testing::Not;

constexpr int64_t kStart = 1076424589;  // Tue Feb 10 14:49:49 2004 (UTC)
const char* const kStamp = "Tue Feb 10 14:49:49: ";

class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = korvane::testing::FreshDirectory("driver");
        capture_.adapterList =
            FakeCaptureLibrary::WideList({"eth7", "lo"}, {"Fake Ethernet", "lo 127.0.0.1"});
        capture_.addressing["lo"] = {true, 0x7F000001};
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    int Run(std::vector<std::string> args) {
        Driver driver({capture_, sockets_, console_, clock_, dir_});
        driver.SetBatchHandler([this](const CapturePacket& read) {
            const std::span<const uint8_t> batch = read.Records();
            batches_.emplace_back(batch.begin(), batch.end());
        });
        const korvane::testing::ProgramArgs line(std::move(args));
        return driver.Run(line.argc(), line.argv());
    }
    std::string Log() const { return ReadTextFile(dir_ / "Korvane.log"); }
    bool LogExists() const { return std::filesystem::exists(dir_ / "Korvane.log"); }
    // Escape is pressed once the loop has checked the keyboard `passes` times.
    void EscapeAfter(int passes) { console_.PushKey(kEscapeKey, passes); }

    FakeCaptureLibrary capture_;
    FakeSockets sockets_;
    ScriptedConsole console_;
    ManualClock clock_{{kStart, 0}};
    std::filesystem::path dir_;
    std::vector<std::vector<uint8_t>> batches_;
};

std::string Lines(std::initializer_list<const char*> lines) {
    std::string text;
    for (const char* line : lines) {
        text += kStamp;
        text += line;
        text += '\n';
    }
    return text;
}

TEST_F(DriverTest, PortModeRunLogsConnectsFiltersAndShutsDown) {
    capture_.script->stats = {12, 3};
    EscapeAfter(0);
    ASSERT_EQ(Run({"/port:2400", "/adapter:2", "/host:127.0.0.1"}), kExitOk);

    EXPECT_EQ(Log(),
              Lines({"Korvane 2.1 (beta.1) Feb 10 2004 14:49:49 (SECURE)",
                     "Build Feb 10 2004 14:49:49", "Packet.dll library version:fake capture 1.0",
                     "Korvane starting up", "TCP/IP Started (0)", "Fake sockets Running",
                     "Command line: korvane /port:2400 /adapter:2 /host:127.0.0.1",
                     "Connection to server 127.0.0.1 established", "Korvane shutting down.",
                     "12 packets received. 3 Packets lost", "Shutdown TCP/IP (0)",
                     "Shutdown complete.\n"}));
    const std::string console = console_.output();
    const std::string expectedConsole =
        Lines({"Korvane 2.1 (beta.1) Feb 10 2004 14:49:49 (SECURE)", "Build Feb 10 2004 14:49:49",
               "Packet.dll library version:fake capture 1.0", "Korvane starting up",
               "TCP/IP Started (0)", "Fake sockets Running",
               "Command line: korvane /port:2400 /adapter:2 /host:127.0.0.1"}) +
        "Adapters installed:\n\n1- Fake Ethernet\n2- lo 127.0.0.1\n"
        "\n====================================================\n"
        "Mercs IP: 127.0.0.1\n"
        "Command line: korvane /port:2400 /adapter:2 /host:127.0.0.1\n" +
        Lines({"Connection to server 127.0.0.1 established"}) +
        "\n====================================================\n"
        "Press <Escape> anytime to exit.\n"
        "Korvane is running.\n"
        "Analyzing traffic on server port 2400...\n" +
        Lines({"Korvane shutting down.", "12 packets received. 3 Packets lost",
               "Shutdown TCP/IP (0)", "Shutdown complete.\n"});
    EXPECT_EQ(console, expectedConsole);

    // The adapter of slot 2, set up as the capture loop needs it.
    const auto& s = *capture_.script;
    EXPECT_EQ(s.openedName, std::vector<uint8_t>({'l', 0, 'o', 0}));
    EXPECT_TRUE(s.openedWide);
    EXPECT_EQ(s.hwFilters, std::vector<uint32_t>{32});
    EXPECT_EQ(s.buffSizes, std::vector<int>{1048576});
    EXPECT_EQ(s.timeouts, std::vector<int>{1000});
    ASSERT_EQ(s.filters.size(), 1u);
    const PortFilterProgram expected = MakePortFilter(2400, 0x7F000001);
    ASSERT_EQ(s.filters[0].size(), expected.size());
    EXPECT_EQ(s.filters[0][7].k, 2400u);
    EXPECT_EQ(s.filters[0][17].k, 2400u);
    EXPECT_TRUE(s.closed);
    EXPECT_EQ(capture_.listBufferSize, 16384u);

    ASSERT_EQ(sockets_.connects.size(), 1u);
    EXPECT_EQ(sockets_.connects[0].address, 0x7F000001u);
    EXPECT_EQ(sockets_.connects[0].port, 2400);
    EXPECT_EQ(sockets_.noDelay.count(sockets_.connects[0].socket), 1u);
    EXPECT_EQ(sockets_.startups, 1);
    EXPECT_EQ(sockets_.cleanups, 1);
}

TEST_F(DriverTest, EscapeLetsOneMorePassRunAndOtherKeysAreConsumed) {
    capture_.script->batches = {{1, 2, 3}, {4, 5}, {6}};
    console_.PushKey('x', 0);
    EscapeAfter(1);  // seen on the third check: the first consumed 'x'
    ASSERT_EQ(Run({"/adapter:1", "/host:127.0.0.1"}), kExitOk);
    EXPECT_EQ(capture_.script->reads, 3);
    ASSERT_EQ(batches_.size(), 3u);
    EXPECT_EQ(batches_[1], (std::vector<uint8_t>{4, 5}));
    EXPECT_FALSE(console_.KeysLeft());
}

TEST_F(DriverTest, DetectModeInstallsTheHostFilterAndDoesNotConnect) {
    EscapeAfter(0);
    ASSERT_EQ(Run({"/adapter:1", "/host:10.0.0.1"}), kExitOk);
    EXPECT_TRUE(sockets_.connects.empty());
    EXPECT_THAT(console_.output(),
                HasSubstr("Mercs IP: 10.0.0.1\nCommand line: korvane /adapter:1\n"));
    EXPECT_THAT(console_.output(), HasSubstr("Korvane is running.\n"
                                             "Waiting for connect traffic to determine the "
                                             "server port...\n"));
    EXPECT_THAT(console_.output(), Not(HasSubstr("Hostname:")));
    ASSERT_EQ(capture_.script->filters.size(), 1u);
    const HostFilterProgram expected = MakeHostFilter(0x0A000001);
    ASSERT_EQ(capture_.script->filters[0].size(), expected.size());
    EXPECT_EQ(capture_.script->filters[0][3].k, 0x0A000001u);
    EXPECT_EQ(capture_.script->filters[0][7].k, 0x0A000001u);
}

// Without "/host:" the guard takes the first address of the host's name, unless that is a
// loopback address (127.0.1.1 on a stock Debian) while the adapter is not the loopback one: then
// the adapter's own address, with a warning. An adapter without an IPv4 address gives none to
// take, and the run does not start.
struct AddressCase {
    const char* name;
    std::vector<std::string> args;
    std::optional<uint32_t> hostAddress;  // of the host name "guardhost"
    std::optional<uint32_t> eth7Address;  // adapter 1, not the loopback one
    int result;
    uint32_t guarded;
    const char* logLine;  // the line it logs, after the stamp; none when empty
};

void PrintTo(const AddressCase& c, std::ostream* os) {
    *os << c.name;
}

class DriverAddressTest : public DriverTest, public ::testing::WithParamInterface<AddressCase> {};

TEST_P(DriverAddressTest, GuardedAddressIsChosenAndTold) {
    const AddressCase& c = GetParam();
    sockets_.hostName = "guardhost";
    sockets_.hostAddress = c.hostAddress;
    if (c.eth7Address) {
        capture_.addressing["eth7"] = {false, c.eth7Address};
    }
    std::vector<std::string> args = c.args;
    args.push_back("/port:2300");
    EscapeAfter(0);
    ASSERT_EQ(Run(args), c.result);
    if (*c.logLine != '\0') {
        EXPECT_THAT(Log(), HasSubstr(std::string(kStamp) + c.logLine + "\n"));
    } else {
        EXPECT_THAT(Log(), Not(HasSubstr("Warning:")));
    }
    if (c.result != kExitOk) {
        EXPECT_TRUE(Log().ends_with(std::string(c.logLine) + "\n")) << Log();
        EXPECT_TRUE(capture_.script->filters.empty());
        EXPECT_TRUE(sockets_.connects.empty());
        return;
    }
    const std::string guarded = DottedText(c.guarded);
    EXPECT_THAT(console_.output(), HasSubstr("Mercs IP: " + guarded + "\n"));
    ASSERT_EQ(sockets_.connects.size(), 1u);
    EXPECT_EQ(sockets_.connects[0].address, c.guarded);
    ASSERT_EQ(capture_.script->filters.size(), 1u);
    const PortFilterProgram expected = MakePortFilter(2300, c.guarded);
    ASSERT_EQ(capture_.script->filters[0].size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(capture_.script->filters[0][i].k, expected[i].k) << i;
    }
    const bool given = std::find(args.begin(), args.end(), "/host:10.9.8.7") != args.end();
    EXPECT_EQ(sockets_.resolved,
              given ? std::vector<std::string>{} : std::vector<std::string>{"guardhost"});
    if (c.hostAddress && !given) {
        EXPECT_THAT(
            console_.output(),
            HasSubstr("Hostname: guardhost\nLocal IP: " + DottedText(*c.hostAddress) + "\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    HostName, DriverAddressTest,
    ::testing::Values(
        AddressCase{"HostAddress", {"/adapter:1"}, 0x0A000001, 0xC0000207, kExitOk, 0x0A000001, ""},
        AddressCase{"LoopbackNameOnTheLoopbackAdapter",
                    {"/adapter:2"},
                    0x7F000101,
                    0xC0000207,
                    kExitOk,
                    0x7F000101,
                    ""},
        AddressCase{"LoopbackNameOnAnotherAdapter",
                    {"/adapter:1"},
                    0x7F000101,
                    0xC0000207,
                    kExitOk,
                    0xC0000207,
                    "Warning: host name \"guardhost\" resolves to the loopback address "
                    "127.0.1.1, and eth7 is not the loopback adapter; guarding eth7's address "
                    "192.0.2.7 instead (/host: names another)"},
        AddressCase{"NameWithoutAddress",
                    {"/adapter:1"},
                    std::nullopt,
                    0xC0000207,
                    kExitOk,
                    0xC0000207,
                    "Warning: host name \"guardhost\" has no IPv4 address; guarding eth7's "
                    "address 192.0.2.7 instead (/host: names another)"},
        AddressCase{"NameWithoutAddressOnTheLoopbackAdapter",
                    {"/adapter:2"},
                    std::nullopt,
                    0xC0000207,
                    kExitOk,
                    0x7F000001,
                    "Warning: host name \"guardhost\" has no IPv4 address; guarding lo's address "
                    "127.0.0.1 instead (/host: names another)"},
        AddressCase{"AdapterWithoutAddress",
                    {"/adapter:1"},
                    0x0A000001,
                    std::nullopt,
                    kExitFailed,
                    0,
                    "Error: adapter eth7 has no IPv4 address; give the game server's address "
                    "with /host:"},
        AddressCase{"HostGiven",
                    {"/adapter:1", "/host:10.9.8.7"},
                    0x7F000101,
                    std::nullopt,
                    kExitOk,
                    0x0A090807,
                    ""}),
    [](const ::testing::TestParamInfo<AddressCase>& param) { return param.param.name; });

// "/adapter:" names the adapter by number or by name; on Windows by Npcap's name or description
// in any case (the Windows suite runs this under Wine with the fake library). A name is looked
// for in the whole list, beyond the ten the prompt shows; one that names no adapter ends the run
// with a line that lists them.
struct AdapterSwitchCase {
    const char* name;
    const char* adapterSwitch;
    bool npcapNaming;
    std::string opened;  // the adapter opened; none when the name names no adapter
};

void PrintTo(const AdapterSwitchCase& c, std::ostream* os) {
    *os << c.name;
}

class DriverAdapterSwitchTest : public DriverTest,
                                public ::testing::WithParamInterface<AdapterSwitchCase> {};

TEST_P(DriverAdapterSwitchTest, AdapterIsFoundOrTheListTold) {
    const AdapterSwitchCase& c = GetParam();
    std::vector<std::string> names = {"eth7", "lo"};
    std::vector<std::string> descriptions = {"Fake Ethernet", "lo 127.0.0.1"};
    for (int n = 3; n <= 12; ++n) {
        names.push_back("if" + std::to_string(n));
        descriptions.push_back("if" + std::to_string(n));
    }
    capture_.adapterList = FakeCaptureLibrary::WideList(names, descriptions);
    capture_.npcapNaming = c.npcapNaming;
    capture_.addressing["if12"] = {false, 0xC0000212};
    EscapeAfter(0);
    const int result = Run({c.adapterSwitch, "/host:127.0.0.1"});
    EXPECT_EQ(console_.numberReads(), 0);
    if (c.opened.empty()) {
        EXPECT_EQ(result, kExitFailed);
        const std::string wanted = std::string(c.adapterSwitch).substr(9);
        EXPECT_TRUE(Log().ends_with("Error: no capture adapter is named \"" + wanted +
                                    "\"; the adapters are: eth7 (Fake Ethernet), lo, if3, if4, "
                                    "if5, if6, if7, if8, if9, if10, if11, if12\n"))
            << Log();
        EXPECT_TRUE(capture_.script->openedName.empty());
        return;
    }
    EXPECT_EQ(result, kExitOk);
    std::vector<uint8_t> wide;
    for (char ch : c.opened) {
        wide.insert(wide.end(), {static_cast<uint8_t>(ch), 0});
    }
    EXPECT_EQ(capture_.script->openedName, wide);
    EXPECT_THAT(console_.output(),
                HasSubstr("Command line: korvane " + std::string(c.adapterSwitch) + "\n"));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DriverAdapterSwitchTest,
    ::testing::Values(AdapterSwitchCase{"Number", "/adapter:2", false, "lo"},
                      AdapterSwitchCase{"Name", "/adapter:lo", false, "lo"},
                      AdapterSwitchCase{"NameBeyondTheTenth", "/adapter:if12", false, "if12"},
                      AdapterSwitchCase{"UnknownName", "/adapter:eth9", false, ""},
                      AdapterSwitchCase{"EmptyName", "/adapter:", false, ""},
                      AdapterSwitchCase{"NameInAnotherCase", "/adapter:LO", false, ""},
                      AdapterSwitchCase{"Description", "/adapter:Fake Ethernet", false, ""},
                      AdapterSwitchCase{"NpcapDescription", "/adapter:fake ETHERNET", true, "eth7"},
                      AdapterSwitchCase{"NpcapNameInAnotherCase", "/adapter:LO", true, "lo"},
                      AdapterSwitchCase{"NpcapPartOfADescription", "/adapter:Fake", true, ""}),
    [](const ::testing::TestParamInfo<AdapterSwitchCase>& param) { return param.param.name; });

TEST_F(DriverTest, PromptRefusesNumbersOutsideTheListAndTakesTheCount) {
    console_.PushNumber(3);
    console_.PushNumber(0);
    console_.PushNumber(2);
    EscapeAfter(0);
    ASSERT_EQ(Run({"/host:127.0.0.1"}), kExitOk);
    EXPECT_THAT(console_.output(),
                HasSubstr("\n2- lo 127.0.0.1\nSelect the number of the adapter to open : "
                          "\nThe number must be smaller than 2"
                          "Select the number of the adapter to open : "
                          "\nThe number must be from 1 to 2"
                          "Select the number of the adapter to open : "
                          "\n====="));
    EXPECT_EQ(capture_.script->openedName, std::vector<uint8_t>({'l', 0, 'o', 0}));
    EXPECT_THAT(console_.output(), HasSubstr("Command line: korvane /adapter:2\n"));
}

TEST_F(DriverTest, PromptStopsAtEndOfInputOrText) {
    ASSERT_EQ(Run({"/host:127.0.0.1"}), kExitFailed);
    EXPECT_THAT(Log(), HasSubstr("Error: no adapter chosen (end of input)\n"));
    EXPECT_EQ(console_.numberReads(), 1);
    EXPECT_TRUE(capture_.script->openedName.empty());

    console_.PushNotANumber();
    std::filesystem::remove(dir_ / "Korvane.log");
    ASSERT_EQ(Run({"/host:127.0.0.1"}), kExitFailed);
    EXPECT_THAT(Log(), HasSubstr("Error: no adapter chosen (the answer is not a number)\n"));

    console_.PushInterruption();
    std::filesystem::remove(dir_ / "Korvane.log");
    ASSERT_EQ(Run({"/host:127.0.0.1"}), kExitFailed);
    EXPECT_THAT(Log(), HasSubstr("Error: no adapter chosen (interrupted)\n"));
}

TEST_F(DriverTest, NoAdapterListedStopsWithoutAsking) {
    capture_.adapterList = FakeCaptureLibrary::WideList({}, {});
    ASSERT_EQ(Run({"/host:127.0.0.1"}), kExitFailed);
    EXPECT_EQ(console_.numberReads(), 0);
    EXPECT_THAT(Log(), HasSubstr("Error: no capture adapter to choose from\n"));
}

TEST_F(DriverTest, AdapterSwitchNamingNoSlotFailsToOpen) {
    capture_.lastError = 0x13;
    for (const char* number : {"/adapter:7", "/adapter:0", "/adapter:11", "/adapter:-3"}) {
        std::filesystem::remove(dir_ / "Korvane.log");
        ASSERT_EQ(Run({number, "/host:127.0.0.1"}), kExitFailed) << number;
        EXPECT_THAT(Log(), HasSubstr(": Unable to open the adapter, Error Code : 13\n")) << number;
        EXPECT_TRUE(capture_.script->openedName.empty()) << number;
    }
    EXPECT_EQ(console_.numberReads(), 0);
}

TEST_F(DriverTest, NarrowListShowsTheNames) {
    capture_.versionWord = 0xC0000A04;
    capture_.adapterList = FakeCaptureLibrary::NarrowList({"PCAP0", "PCAP1"});
    EscapeAfter(0);
    ASSERT_EQ(Run({"/adapter:2", "/host:127.0.0.1"}), kExitOk);
    EXPECT_THAT(console_.output(), HasSubstr("Adapters installed:\n\n1- PCAP0\n2- PCAP1\n\n"));
    EXPECT_EQ(capture_.listBufferSize, 8192u);
    EXPECT_EQ(capture_.script->openedName, std::vector<uint8_t>({'P', 'C', 'A', 'P', '1'}));
    EXPECT_FALSE(capture_.script->openedWide);
}

TEST_F(DriverTest, HelpEndsBeforeTheLogIsOpened) {
    EXPECT_EQ(Run({"/test", "/?"}), kExitOk);
    EXPECT_FALSE(LogExists());
    EXPECT_EQ(console_.output(), UsageText());
    EXPECT_EQ(sockets_.startups, 0);
}

TEST_F(DriverTest, UnopenableLogFileEndsWithFailure) {
    dir_ /= "missing";
    EXPECT_EQ(Run({"/adapter:1"}), kExitFailed);
    EXPECT_EQ(console_.output(), "Error: Could not open log file\n");
    EXPECT_EQ(sockets_.startups, 0);
}

struct FailureCase {
    const char* name;
    void (*arrange)(FakeCaptureLibrary&);
    int result;
    const char* logLine;  // the line the failure writes
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class DriverFailureTest : public DriverTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(DriverFailureTest, FailureIsReportedWithItsResult) {
    const FailureCase& c = GetParam();
    c.arrange(capture_);
    EscapeAfter(0);
    EXPECT_EQ(Run({"/adapter:1", "/host:127.0.0.1", "/port:2300"}), c.result);
    if (c.result == kExitOk) {
        EXPECT_THAT(Log(), HasSubstr(std::string(": ") + c.logLine + "\n"));
        EXPECT_THAT(Log(), HasSubstr("Shutdown complete.\n"));
    } else {
        EXPECT_TRUE(Log().ends_with(std::string(": ") + c.logLine + "\n")) << Log();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Capture, DriverFailureTest,
    ::testing::Values(
        FailureCase{"open", [](FakeCaptureLibrary& c) { c.failOpen = true; }, kExitFailed,
                    "Unable to open the adapter, Error Code : 2"},
        FailureCase{"promiscuous", [](FakeCaptureLibrary& c) { c.script->refuseHwFilter = true; },
                    kExitOk, "Warning: unable to set promiscuous mode!"},
        FailureCase{"buffer", [](FakeCaptureLibrary& c) { c.script->refuseBuff = true; },
                    kExitFailed, "Unable to set the kernel buffer!"},
        FailureCase{"timeout", [](FakeCaptureLibrary& c) { c.script->refuseTimeout = true; },
                    kExitOk, "Warning: unable to set the read tiemout!"},
        FailureCase{"allocate", [](FakeCaptureLibrary& c) { c.failAllocate = true; }, kExitFailed,
                    "\nError: failed to allocate the LPPACKET structure."},
        FailureCase{"read", [](FakeCaptureLibrary& c) { c.script->failReadAt = 0; }, kExitFailed,
                    "Error: PacketReceivePacket failed"},
        FailureCase{"stats", [](FakeCaptureLibrary& c) { c.script->failStats = true; }, kExitOk,
                    "Warning: unable to get stats from the kernel!"}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return param.param.name; });

// The event stream ends with the run, failed as it is.
TEST_F(DriverTest, FailedReadTellsWhatWentWrong) {
    capture_.script->failReadAt = 1;
    capture_.script->errorText = "device went away";
    EXPECT_EQ(Run({"/adapter:1", "/host:127.0.0.1", "/events:e.jsonl"}), kExitFailed);
    EXPECT_TRUE(Log().ends_with(": Error: PacketReceivePacket failed\n" + std::string(kStamp) +
                                "Error: device went away\n"))
        << Log();
    const std::vector<std::string> events =
        korvane::testing::SplitLines(ReadTextFile(dir_ / "e.jsonl"));
    ASSERT_FALSE(events.empty());
    EXPECT_THAT(events.back(), HasSubstr(R"("event":"shutdown","failed":true,"records_dropped")"));
}

TEST_F(DriverTest, CaptureThatEndedEarlyIsWarnedAbout) {
    capture_.script->errorText = "capture file ends early: truncated dump file";
    EscapeAfter(0);
    EXPECT_EQ(Run({"/adapter:1", "/host:127.0.0.1"}), kExitOk);
    EXPECT_THAT(Log(), HasSubstr(": Warning: capture file ends early: truncated dump file\n" +
                                 std::string(kStamp) + "Korvane shutting down.\n"));
}

TEST_F(DriverTest, MissingCaptureLibraryIsOneLogLineAndFailure) {
    capture_.unavailable = "the packet capture library wpcap.dll could not be loaded";
    EXPECT_EQ(Run({"/adapter:1", "/host:127.0.0.1"}), kExitFailed);
    EXPECT_TRUE(Log().ends_with(
        ": Command line: korvane /adapter:1 /host:127.0.0.1\n" + std::string(kStamp) +
        "Error: the packet capture library wpcap.dll could not be loaded\n"))
        << Log();
    EXPECT_EQ(capture_.listCalls, 0);
    EXPECT_THAT(console_.output(), Not(HasSubstr("Adapters installed:")));
}

TEST_F(DriverTest, AdapterListFailureIsShownOnTheConsole) {
    capture_.failList = true;
    EXPECT_EQ(Run({"/adapter:1"}), kExitFailed);
    EXPECT_TRUE(console_.output().ends_with(
        "Adapters installed:\nUnable to retrieve the list of the adapters!\n"));
}

TEST_F(DriverTest, FailedFirstConnectionInPortModeEndsWithFailure) {
    sockets_.refuseConnects = true;
    EXPECT_EQ(Run({"/adapter:1", "/host:127.0.0.1", "/port:2300"}), kExitFailed);
    EXPECT_TRUE(Log().ends_with(": could not connect to server\n"));
    EXPECT_TRUE(
        console_.output().ends_with("could not connect to server\n"
                                    "Could not connect to server.\n"));
    EXPECT_TRUE(capture_.script->filters.empty());
    EXPECT_TRUE(sockets_.open.empty());  // the failed socket was closed
}

TEST_F(DriverTest, TestModeConnectsWithoutTheNetwork) {
    EscapeAfter(0);
    ASSERT_EQ(Run({"/adapter:1", "/host:127.0.0.1", "/port:2300", "/test"}), kExitOk);
    EXPECT_TRUE(sockets_.connects.empty());
    EXPECT_THAT(Log(), Not(HasSubstr("Connection to server")));
}

// The event stream tells what the guard runs on and guards, and at the end what it counted.
TEST_F(DriverTest, StartAndShutdownEventsTellTheRun) {
    capture_.script->stats = {12, 3};
    EscapeAfter(0);
    ASSERT_EQ(Run({"/port:2400", "/adapter:lo", "/host:127.0.0.1", "/events:e.jsonl", "x"}),
              kExitOk);
    EscapeAfter(0);
    capture_.script->failStats = true;
    ASSERT_EQ(Run({"/adapter:2", "/events:e.jsonl"}), kExitOk);
    size_t unreadable = 0;
    const std::vector<StreamEvent> events = ReadStream(dir_ / "e.jsonl", &unreadable);
    EXPECT_EQ(unreadable, 0u);
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(events[0].name(), "start");
    EXPECT_EQ(events[0]["time"], "2004-02-10T14:49:49.000Z");
    EXPECT_EQ(events[0]["version"], "2.1 (beta.1) Feb 10 2004 14:49:49");
    EXPECT_EQ(events[0]["switches"],
              R"(["/port:2400","/adapter:lo","/host:127.0.0.1","/events:e.jsonl","x"])");
    EXPECT_EQ(events[0]["adapter"], "lo");
    EXPECT_EQ(events[0]["address"], "127.0.0.1");
    EXPECT_EQ(events[0]["port"], "2400");
    EXPECT_FALSE(events[0]["port_detection"]);
    EXPECT_EQ(events[1].name(), "link_up");
    EXPECT_EQ(events[2].name(), "shutdown");
    EXPECT_EQ(events[2]["received"], "12");
    EXPECT_EQ(events[2]["lost"], "3");
    EXPECT_EQ(events[2]["records_dropped"], "0");
    EXPECT_EQ(events[2].size(), 13u);  // the stamp, the name, two statistics and nine counts

    // Detecting the port, without the capture's statistics.
    EXPECT_EQ(events[3].name(), "start");
    EXPECT_EQ(events[3]["adapter"], "lo");
    EXPECT_EQ(events[3]["port_detection"], "true");
    EXPECT_FALSE(events[3]["port"]);
    EXPECT_EQ(events[4].name(), "warning");
    EXPECT_EQ(events[4]["text"], "unable to get stats from the kernel!");
    EXPECT_EQ(events[5].name(), "shutdown");
    EXPECT_FALSE(events[5]["received"]);
}

TEST_F(DriverTest, EventStreamThatCannotBeOpenedEndsTheStart) {
    EXPECT_EQ(Run({"/adapter:1", "/host:127.0.0.1", "/events:missing/e.jsonl"}), kExitFailed);
    EXPECT_TRUE(
        Log().ends_with(": Command line: korvane /adapter:1 /host:127.0.0.1 "
                        "/events:missing/e.jsonl\n" +
                        std::string(kStamp) +
                        "Error: could not open the event stream \"missing/e.jsonl\": No "
                        "such file or directory\n"))
        << Log();
    EXPECT_EQ(capture_.listCalls, 0);
}

// Log rotation: the log and the event stream are renamed while the guard runs, then the guard
// is asked to reopen them. The renamed files keep everything written before the request; the
// new log begins with the reopening and ends with the shutdown lines, the new stream holds the
// shutdown.
TEST_F(DriverTest, ReopenRequestBeginsANewLogFile) {
    capture_.script->batches = {{1}, {2}, {3}};
    EscapeAfter(2);
    const auto rotated = dir_ / "Korvane.log.1";
    Driver driver({capture_, sockets_, console_, clock_, dir_});
    int passes = 0;
    driver.SetBatchHandler([&](const CapturePacket&) {
        if (++passes == 1) {
            std::filesystem::rename(dir_ / "Korvane.log", rotated);
            std::filesystem::rename(dir_ / "e.jsonl", dir_ / "e.jsonl.1");
            console_.RequestLogReopen();
        }
    });
    const korvane::testing::ProgramArgs line(
        {"/adapter:1", "/host:127.0.0.1", "/test", "/events:e.jsonl"});
    ASSERT_EQ(driver.Run(line.argc(), line.argv()), kExitOk);
    EXPECT_THAT(ReadTextFile(dir_ / "e.jsonl.1"), ::testing::StartsWith("{\"time\""));
    EXPECT_THAT(ReadTextFile(dir_ / "e.jsonl.1"), HasSubstr("\"event\":\"start\""));
    const std::vector<std::string> after =
        korvane::testing::SplitLines(ReadTextFile(dir_ / "e.jsonl"));
    ASSERT_EQ(after.size(), 1u);
    EXPECT_THAT(after[0], HasSubstr("\"event\":\"shutdown\""));

    const std::string before = ReadTextFile(rotated);
    EXPECT_TRUE(before.starts_with(std::string(kStamp) + "Korvane 2.1")) << before;
    EXPECT_THAT(before, Not(HasSubstr("shutting down")));
    EXPECT_EQ(Log(), Lines({"Log file reopened", "Korvane shutting down.",
                            "0 packets received. 0 Packets lost", "Shutdown TCP/IP (0)",
                            "Shutdown complete.\n"}));
}

TEST_F(DriverTest, SecondRunAppendsToTheLog) {
    EscapeAfter(0);
    ASSERT_EQ(Run({"/adapter:1", "/host:127.0.0.1"}), kExitOk);
    const std::string first = Log();
    EscapeAfter(0);
    clock_.SetSeconds(kStart + 3600);
    ASSERT_EQ(Run({"/adapter:1", "/host:127.0.0.1"}), kExitOk);
    const std::string both = Log();
    ASSERT_TRUE(both.starts_with(first));
    EXPECT_TRUE(both.substr(first.size()).starts_with("Tue Feb 10 15:49:49: Korvane 2.1"));
}

}  // namespace
}  // namespace korvane
