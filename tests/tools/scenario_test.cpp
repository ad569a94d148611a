#include "tools/scenario.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pcap/pcap.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "capture/internet_checksum.h"
#include "tests/support/child_process.h"
#include "tests/tools/variant_test_support.h"
#include "tools/session_builder.h"
#include "tools/variant_builder.h"

namespace korvane::tools {
namespace {

using korvane::testing::ChildProcess;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr uint32_t kBase = 1075819800;  // Tue Feb 03 14:50:00 2004 UTC

struct Record {
    uint32_t seconds = 0;
    uint32_t micros = 0;
    std::vector<uint8_t> bytes;
};

// Every record of a capture file, read back through libpcap.
std::vector<Record> ReadCapture(const std::string& path) {
    char error[PCAP_ERRBUF_SIZE] = {};
    pcap_t* handle = pcap_open_offline(path.c_str(), error);
    if (handle == nullptr) {
        ADD_FAILURE() << "pcap_open_offline: " << error;
        return {};
    }
    std::unique_ptr<pcap_t, void (*)(pcap_t*)> owner(handle, pcap_close);
    EXPECT_EQ(pcap_datalink(handle), DLT_EN10MB);
    std::vector<Record> records;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(handle, &header, &data) == 1) {
        EXPECT_EQ(header->caplen, header->len);
        records.push_back({static_cast<uint32_t>(header->ts.tv_sec),
                           static_cast<uint32_t>(header->ts.tv_usec),
                           std::vector<uint8_t>(data, data + header->caplen)});
    }
    return records;
}

class ScenarioFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = FreshDirectory(std::string("scenario-") +
                              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string Write(const std::string& name, const std::string& text) {
        auto path = dir_ / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    // Runs korvane-mkcap; returns its exit status, with its standard error in `errors`.
    int RunMkcap(const std::vector<std::string>& args, std::string& errors) {
        ChildProcess::Options options;
        options.stdoutFile = dir_ / "mkcap.out";
        options.stderrFile = dir_ / "mkcap.err";
        ChildProcess mkcap(KORVANE_MKCAP_EXE, args, options);
        if (!mkcap.started()) {
            ADD_FAILURE() << "cannot start " << KORVANE_MKCAP_EXE;
            return -1;
        }
        std::optional<int> status = mkcap.Wait(30s);
        errors = ReadWholeFile(options.stderrFile);
        return status.value_or(-1);
    }

    std::filesystem::path dir_;
};

std::string ErrorOf(const std::string& text) {
    try {
        ParseScenario(text, "t.scenario");
    } catch (const ScenarioError& error) {
        return error.what();
    }
    return "(no error)";
}

TEST(ScenarioParse, ReadsEventsWithTimesAndOptions) {
    auto scenario = ParseScenario(
        "# comment\n"
        "\n"
        "base 1075819800\n"
        "at +0.5 127.0.0.2:40001 > 127.0.0.1:2300 connect\n"
        "at 1075819801.000250 127.0.0.2:40001 > 127.0.0.1:2300 create id=0x2a name=Big Bob \n"
        "at +2 127.0.0.2:40001 > 127.0.0.1:2300 chat sender=2a receiver=1 field=7 split=10 "
        "reverse tsopt text=hello  there\r\n"
        "   at +3 127.0.0.3:1 > 127.0.0.1:2300 syn\n",
        "t.scenario");
    ASSERT_EQ(scenario.events.size(), 4u);
    const auto& connect = scenario.events[0];
    EXPECT_EQ(connect.line, 4);
    EXPECT_EQ(connect.micros, kBase * 1'000'000ull + 500'000);
    EXPECT_EQ(connect.source, (Endpoint{0x7F000002, 40001}));
    EXPECT_EQ(connect.destination, (Endpoint{0x7F000001, 2300}));
    EXPECT_EQ(connect.payload, BuildConnectMessage());
    const auto& create = scenario.events[1];
    EXPECT_EQ(create.micros, (kBase + 1) * 1'000'000ull + 250);
    EXPECT_EQ(create.payload, BuildCreationMessage(0x2A, std::string_view("Big Bob ")));
    const auto& chat = scenario.events[2];
    EXPECT_EQ(chat.payload, BuildChatMessage(0x2A, 1, 7, "hello  there"));
    EXPECT_EQ(chat.split, 10u);
    EXPECT_TRUE(chat.reverse);
    EXPECT_TRUE(chat.tsopt);
    const auto& syn = scenario.events[3];
    EXPECT_TRUE(syn.syn);
    EXPECT_TRUE(syn.payload.empty());
    EXPECT_EQ(syn.line, 7);
}

TEST(ScenarioParse, OtherKinds) {
    auto scenario = ParseScenario(
        "at 100 127.0.0.2:1 > 127.0.0.1:2 delete id=100\n"
        "at 100 127.0.0.2:1 > 127.0.0.1:2 game sender=102 receiver=10001 type=17 hex=0aFF\n"
        "at 100 127.0.0.2:1 > 127.0.0.1:2 game sender=102 receiver=1 type=5\n"
        "at 100 127.0.0.2:1 > 127.0.0.1:2 raw hex=000102\n",
        "t.scenario");
    ASSERT_EQ(scenario.events.size(), 4u);
    EXPECT_EQ(scenario.events[0].payload, BuildDeletionMessage(0x100));
    EXPECT_EQ(scenario.events[1].payload,
              BuildGameMessage(0x102, 0x10001, 17, std::vector<uint8_t>{0x0A, 0xFF}));
    EXPECT_EQ(scenario.events[2].payload, BuildGameMessage(0x102, 1, 5));
    EXPECT_EQ(scenario.events[3].payload, (std::vector<uint8_t>{0, 1, 2}));
}

TEST(ScenarioParse, ErrorsNameFileAndLine) {
    const std::string at = "at 100 127.0.0.2:1 > 127.0.0.1:2 ";
    EXPECT_EQ(ErrorOf("\n\n" + at + "shout\n"), "t.scenario:3: unknown kind 'shout'");
    EXPECT_EQ(ErrorOf("at +1 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:1: relative time '+1' without a base line");
    EXPECT_EQ(ErrorOf(at + "delete\n"), "t.scenario:1: delete needs id=");
    EXPECT_EQ(ErrorOf(at + "chat sender=1 receiver=2\n"), "t.scenario:1: chat needs text=");
    EXPECT_EQ(ErrorOf(at + "delete id=xyz\n"),
              "t.scenario:1: id= needs a hexadecimal number of up to 8 digits, not 'xyz'");
    EXPECT_EQ(ErrorOf(at + "delete id=123456789\n"),
              "t.scenario:1: id= needs a hexadecimal number of up to 8 digits, not '123456789'");
    EXPECT_EQ(ErrorOf(at + "connect split=36\n"),
              "t.scenario:1: split= needs a number from 1 to 35 (payload is 36 bytes), not '36'");
    EXPECT_EQ(ErrorOf(at + "connect split=0\n"),
              "t.scenario:1: split= needs a number from 1 to 35 (payload is 36 bytes), not '0'");
    EXPECT_EQ(ErrorOf(at + "connect reverse\n"), "t.scenario:1: reverse needs split=");
    EXPECT_EQ(ErrorOf(at + "raw hex=abc\n"),
              "t.scenario:1: hex= needs pairs of hexadecimal digits, not 'abc'");
    EXPECT_EQ(ErrorOf(at + "raw\n"), "t.scenario:1: raw needs hex=");
    EXPECT_EQ(ErrorOf(at + "syn split=1\n"), "t.scenario:1: a bare SYN cannot be split");
    EXPECT_EQ(ErrorOf(at + "connect syn\n"),
              "t.scenario:1: syn is a kind of its own: a bare SYN carries no message");
    EXPECT_EQ(ErrorOf(at + "delete id=1 name=x\n"), "t.scenario:1: delete takes no option 'name='");
    EXPECT_EQ(ErrorOf(at + "delete id=1 id=2\n"), "t.scenario:1: id= given twice");
    EXPECT_EQ(ErrorOf(at + "game sender=1 receiver=2 type=256\n"),
              "t.scenario:1: type= needs a decimal number 0 to 255, not '256'");
    EXPECT_EQ(ErrorOf("at 100 127.0.0.256:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:1: bad source '127.0.0.256:1' (a.b.c.d:port)");
    EXPECT_EQ(ErrorOf("at 100 127.0.0.2:1 > 127.0.0.1 connect\n"),
              "t.scenario:1: bad destination '127.0.0.1' (a.b.c.d:port)");
    EXPECT_EQ(ErrorOf("at 100 127.0.0.2:1 127.0.0.1:2 connect\n"),
              "t.scenario:1: expected: at <time> <address:port> > <address:port> <kind> ...");
    EXPECT_EQ(ErrorOf("at 1.1234567 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:1: bad time '1.1234567'");
    EXPECT_EQ(ErrorOf("at 4294967296 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:1: bad time '4294967296'");
    EXPECT_EQ(ErrorOf("when 1\n"), "t.scenario:1: expected 'at', 'base' or 'include', not 'when'");
    EXPECT_EQ(ErrorOf("base x\n"), "t.scenario:1: bad base time 'x'");
    EXPECT_EQ(ErrorOf(at + "connect\nat 99.999999 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:2: time 99.999999 is earlier than the frame before");
    // The second piece of a split goes out 1 ms later; the next event may not come before it.
    EXPECT_EQ(ErrorOf(at + "connect split=4\nat 100.0009 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:2: time 100.0009 is earlier than the frame before");
    EXPECT_EQ(ErrorOf(at + "connect split=4\nat 100.001 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "(no error)");
    EXPECT_THAT(ErrorOf(at + "raw hex=" + std::string(2 * 65484, '0') + "\n"),
                HasSubstr("does not fit one IPv4 packet"));
}

// The messages an upload line sends: its variant's container cut as UploadMessages cuts it.
std::vector<std::vector<uint8_t>> Upload(uint16_t sequence, const VariantSpec& variant,
                                         size_t pieceBytes = 1000, size_t pieces = 0) {
    return UploadMessages(0x102, sequence, BuildVariant(variant), pieceBytes, pieces);
}

std::vector<std::vector<uint8_t>> Reordered(std::vector<std::vector<uint8_t>> messages,
                                            const std::vector<size_t>& order) {
    std::vector<std::vector<uint8_t>> reordered;
    for (size_t index : order) {
        reordered.push_back(messages.at(index));
    }
    return reordered;
}

struct MessageLineCase {
    std::string name;
    std::string options;  // after the addresses
    std::vector<std::vector<uint8_t>> payloads;
};

void PrintTo(const MessageLineCase& test, std::ostream* out) {
    *out << test.name;
}

class MessageLine : public ::testing::TestWithParam<MessageLineCase> {};

TEST_P(MessageLine, SendsItsMessagesOneMillisecondApart) {
    auto scenario = ParseScenario("\nat 100.5 127.0.0.2:1 > 127.0.0.1:2 " + GetParam().options +
                                      "\nat 101 127.0.0.2:1 > 127.0.0.1:2 connect\n",
                                  "t.scenario");
    const auto& expected = GetParam().payloads;
    ASSERT_EQ(scenario.events.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        const ScenarioEvent& event = scenario.events[i];
        EXPECT_EQ(event.line, 2) << i;
        EXPECT_EQ(event.micros, 100'500'000ull + 1000 * i) << i;
        EXPECT_EQ(event.payload, expected[i]) << i;
        EXPECT_EQ(event.split, 0u);
    }
}

const std::vector<ComponentSpec> kThreeComponents = {{813, 108}, {888, 376}, {815, 108}};

INSTANTIATE_TEST_SUITE_P(
    Kinds, MessageLine,
    ::testing::Values(
        MessageLineCase{
            "Info", "info sender=102 text=pilot  one ", {BuildInfoMessage(0x102, "pilot  one ")}},
        MessageLineCase{"Stock",
                        "stock sender=0x102 chassis=DEADbeef",
                        {BuildStockSelection(0x102, 0xDEADBEEF)}},
        MessageLineCase{"Upload", "upload sender=102 seq=9 chassis=abcd name=Plain",
                        Upload(9, Variant(0xABCD, {}, "Plain"))},
        MessageLineCase{
            "UploadInThreePieces",
            "upload sender=102 seq=65535 chassis=abcd components=813,888:376,815 pieces=3 "
            "name=My  Mech ",
            Upload(65535, Variant(0xABCD, kThreeComponents, "My  Mech "), 1000, 3)},
        MessageLineCase{
            "UploadSizedDeferred",
            "upload sender=102 seq=0 chassis=1 piecebytes=300 size=1000 deferreset tsopt name=x",
            Upload(0, Variant(1, {}, "x", 1000, {true, true}), 300)},
        MessageLineCase{"UploadReordered",
                        "upload sender=102 seq=7 chassis=1 pieces=4 order=0,3,1,2 name=x",
                        Reordered(Upload(7, Variant(1, {}, "x"), 1000, 4), {0, 3, 1, 2})},
        MessageLineCase{"UploadNoComponents", "upload sender=102 seq=7 chassis=1 components= name=",
                        Upload(7, Variant(1))}),
    [](const auto& param) { return param.param.name; });

TEST(ScenarioParse, UploadErrors) {
    const std::string at = "at 100 127.0.0.2:1 > 127.0.0.1:2 ";
    const std::string upload = at + "upload sender=102 seq=1 chassis=1 ";
    const size_t size = BuildVariant(Variant(1, {}, "x")).size();
    const std::string count = std::to_string(size);
    struct Case {
        std::string line;
        std::string error;
    };
    const std::vector<Case> cases = {
        {upload + "split=5 reverse name=x",
         "upload takes no reverse: its messages go in the order given"},
        {upload + "split=0 name=x", "split= needs a number from 1 to 65483, not '0'"},
        {at + "upload sender=1 seq=65536 chassis=1 name=x",
         "seq= needs a decimal number 0 to 65535, not '65536'"},
        {upload + "components=813,,815 name=x",
         "components= needs <id>[:<length>],... with ids 0 to 65535 and lengths 88 to 32767, "
         "not '813,,815'"},
        {upload + "pieces=1 name=x", "pieces= needs a decimal number 2 to " + count +
                                         " (the container is " + count + " bytes), not '1'"},
        {upload + "pieces=3 piecebytes=10 name=x", "pieces= and piecebytes= do not go together"},
        {upload + "piecebytes=0 name=x", "piecebytes= needs a decimal number 1 to 65483, not '0'"},
        {upload + "pieces=3 order=0,1 name=x",
         "order= needs each message index 0 to 2 once (the upload has 3 messages), not '0,1'"},
        {upload + "size=" + std::to_string(size - 1) + " name=x",
         "size= needs a decimal number " + count +
             " to 16777216 (from the variant's own size), "
             "not '" +
             std::to_string(size - 1) + "'"},
        {upload + "size=65600 piecebytes=65483 name=x",
         "message too long for its 16-bit size word"},
        {upload + "name=" + std::string(233, 'n'), "name= takes at most 232 characters, not 233"},
        {at + "info sender=1 deferreset text=x", "info takes no option 'deferreset'"},
    };
    for (const Case& test : cases) {
        EXPECT_EQ(ErrorOf(test.line + "\n"), "t.scenario:1: " + test.error) << test.line;
    }
    // An upload's last message goes out 1 ms per message after the first; the next event may
    // not come before it.
    const std::string threePieces = upload + "pieces=3 name=x\n";
    EXPECT_EQ(ErrorOf(threePieces + "at 100.001999 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "t.scenario:2: time 100.001999 is earlier than the frame before");
    EXPECT_EQ(ErrorOf(threePieces + "at 100.002 127.0.0.2:1 > 127.0.0.1:2 connect\n"),
              "(no error)");
    EXPECT_EQ(ErrorOf("at 4294967295.998 127.0.0.2:1 > 127.0.0.1:2 upload sender=1 seq=1 "
                      "chassis=1 pieces=2 name=x\n"),
              "(no error)");
    EXPECT_EQ(ErrorOf("at 4294967295.998 127.0.0.2:1 > 127.0.0.1:2 upload sender=1 seq=1 "
                      "chassis=1 pieces=3 name=x\n"),
              "t.scenario:1: bad time '4294967295.998'");
}

TEST(ScenarioFramesTest, UploadFramesCarryTheMessagesInTheOrderGiven) {
    auto scenario = ParseScenario(
        "at 100 127.0.0.2:1 > 127.0.0.1:2300 upload sender=102 seq=40 chassis=55 "
        "components=813 pieces=3 order=2,0,1 tsopt name=Sent backwards\n",
        "t.scenario");
    auto messages = Upload(40, Variant(0x55, {{813, 108}}, "Sent backwards"), 1000, 3);
    auto frames = ScenarioFrames(scenario);
    ASSERT_EQ(frames.size(), 3u);
    const std::vector<size_t> order = {2, 0, 1};
    for (size_t i = 0; i < frames.size(); ++i) {
        const auto& bytes = frames[i].bytes;
        EXPECT_EQ(frames[i].seconds, 100u);
        EXPECT_EQ(frames[i].micros, 1000u * i);
        ByteReader reader(bytes);
        EXPECT_EQ(reader.U8(46) >> 4, 8);  // with the timestamp option
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 66, bytes.end()), messages[order[i]]) << i;
        EXPECT_EQ(bytes[66 + 28], order[i] == 0 ? 4 : order[i] == 2 ? 6 : 5) << i;
        if (i > 0) {
            // One stream: the sequence numbers follow the bytes as they are sent.
            EXPECT_EQ(reader.NetU32(38),
                      ByteReader(frames[i - 1].bytes).NetU32(38) + messages[order[i - 1]].size());
        }
        EXPECT_TRUE(TcpChecksumValid(bytes));
    }
}

TEST(ScenarioFramesTest, UploadSplitCutsEachLongerMessageInTwoSegments) {
    // Three pieces of near-equal size; the first message carries the longer header and the
    // first two pieces are a byte longer, so a split at the last message's length leaves that
    // one whole.
    auto messages = Upload(7, Variant(0x55, {{813, 108}, {888, 376}}, "Cut"), 1000, 3);
    const size_t split = messages[2].size();
    ASSERT_GT(messages[1].size(), split);
    auto scenario = ParseScenario(
        "at 100 127.0.0.2:1 > 127.0.0.1:2300 upload sender=102 seq=7 chassis=55 "
        "components=813,888:376 pieces=3 split=" +
            std::to_string(split) +
            " name=Cut\n"
            // The last message is whole, so the next line may follow 4 ms after the first.
            "at 100.004 127.0.0.2:1 > 127.0.0.1:2300 connect\n",
        "t.scenario");
    auto frames = ScenarioFrames(scenario);
    ASSERT_EQ(frames.size(), 6u);
    const std::vector<uint32_t> micros = {0, 1000, 2000, 3000, 4000, 4000};
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(frames[i].micros, micros[i]) << i;
        joined.insert(joined.end(), frames[i].bytes.begin() + 54, frames[i].bytes.end());
    }
    EXPECT_EQ(frames[0].bytes.size(), 54 + split);
    std::vector<uint8_t> sent;
    for (const auto& message : messages) {
        sent.insert(sent.end(), message.begin(), message.end());
    }
    EXPECT_EQ(joined, sent);
    EXPECT_EQ(ErrorOf("at 100 127.0.0.2:1 > 127.0.0.1:2300 upload sender=102 seq=7 chassis=55 "
                      "pieces=2 split=10 name=x\nat 100.0029 127.0.0.2:1 > 127.0.0.1:2 syn\n"),
              "t.scenario:2: time 100.0029 is earlier than the frame before");
}

// One frame a line with segment options writes: when (milliseconds after 100 s), its bytes as
// the line's stream from `from` to `to`, and whether they are the other bytes of a
// retransmission (each inverted), and how its TCP checksum is written.
struct SegmentFrame {
    uint32_t millis = 0;
    size_t from = 0;
    size_t to = 0;
    bool other = false;
    TcpChecksum checksum = TcpChecksum::correct;
};

constexpr TcpChecksum kWrong = TcpChecksum::wrong;
constexpr TcpChecksum kPseudo = TcpChecksum::pseudoHeader;

// Whether the TCP checksum field of a frame without IPv4 options holds what `form` asks.
bool ChecksumIs(const std::vector<uint8_t>& frame, TcpChecksum form) {
    const ByteReader reader(frame);
    const size_t tcpLength = reader.NetU16(16) - 20;
    const uint16_t stored = reader.NetU16(50);
    switch (form) {
        case TcpChecksum::correct:
            return TcpChecksumValid(frame);
        case TcpChecksum::pseudoHeader:
            return stored == PseudoHeaderSum(reader.NetU32(26), reader.NetU32(30), 6, tcpLength);
        case TcpChecksum::wrong: {
            std::vector<uint8_t> oneLess = frame;
            oneLess[50] = static_cast<uint8_t>((stored - 1) >> 8);
            oneLess[51] = static_cast<uint8_t>(stored - 1);
            return !TcpChecksumValid(frame) && TcpChecksumValid(oneLess);
        }
    }
    return false;
}

struct SegmentCase {
    std::string name;
    std::string lines;  // "@" is the flow 127.0.0.2:1 > 127.0.0.1:2300
    std::vector<uint8_t> stream;
    std::vector<SegmentFrame> frames;
};

void PrintTo(const SegmentCase& test, std::ostream* out) {
    *out << test.name;
}

std::vector<uint8_t> Joined(const std::vector<std::vector<uint8_t>>& messages) {
    std::vector<uint8_t> joined;
    for (const auto& message : messages) {
        joined.insert(joined.end(), message.begin(), message.end());
    }
    return joined;
}

// A game message of 60 bytes, and an upload of three messages.
const std::vector<uint8_t> kSixty = BuildGameMessage(0x102, 5, 7, std::vector<uint8_t>(31));
const std::string kSixtyLine = "game sender=102 receiver=5 type=7 pad=31";
const auto kPieces = Upload(9, Variant(1, {}, "x"), 1000, 3);
const std::string kPiecesLine = "upload sender=102 seq=9 chassis=1 pieces=3";
const size_t kP0 = kPieces[0].size();
const size_t kP01 = kP0 + kPieces[1].size();
const size_t kP012 = kP01 + kPieces[2].size();
const std::vector<uint8_t> kCommand = BuildChatMessage(0x102, 1, 0, "~commands");

// Frames of at most `most` bytes from `from` to `to`, 1 ms apart.
std::vector<SegmentFrame> Chunks(size_t from, size_t to, size_t most) {
    std::vector<SegmentFrame> frames;
    for (size_t at = from; at < to; at += most) {
        frames.push_back({static_cast<uint32_t>(frames.size()), at, std::min(at + most, to)});
    }
    return frames;
}

class SegmentLine : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(SegmentLine, WritesTheStreamWithTrueSequenceNumbers) {
    std::string lines = GetParam().lines;
    for (size_t at = 0; (at = lines.find('@', at)) != std::string::npos;) {
        lines.replace(at, 1, "127.0.0.2:1 > 127.0.0.1:2300");
    }
    // The SYN before and the connect message after fix the first and the next sequence number.
    auto frames = ScenarioFrames(ParseScenario("at 99 127.0.0.2:1 > 127.0.0.1:2300 syn\n" + lines +
                                                   "at 101 127.0.0.2:1 > 127.0.0.1:2300 connect\n",
                                               "t.scenario"));
    const auto& expected = GetParam().frames;
    const auto& stream = GetParam().stream;
    ASSERT_EQ(frames.size(), expected.size() + 2);
    const uint32_t first = ByteReader(frames.front().bytes).NetU32(38) + 1;
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const TimedFrame& frame = frames[i + 1];
        EXPECT_EQ(frame.seconds, 100u);
        EXPECT_EQ(frame.micros, expected[i].millis * 1000);
        EXPECT_EQ(ByteReader(frame.bytes).NetU32(38), first + expected[i].from);
        std::vector<uint8_t> bytes(stream.begin() + static_cast<long>(expected[i].from),
                                   stream.begin() + static_cast<long>(expected[i].to));
        if (expected[i].other) {
            for (uint8_t& byte : bytes) {
                byte = static_cast<uint8_t>(~byte);
            }
        }
        EXPECT_EQ(std::vector<uint8_t>(frame.bytes.begin() + 54, frame.bytes.end()), bytes);
        EXPECT_TRUE(ChecksumIs(frame.bytes, expected[i].checksum));
    }
    EXPECT_EQ(ByteReader(frames.back().bytes).NetU32(38), first + stream.size());
}

INSTANTIATE_TEST_SUITE_P(
    Options, SegmentLine,
    ::testing::Values(
        SegmentCase{"CoalescedUpload",
                    "at 100 @ " + kPiecesLine + " coalesce name=x\n",
                    Joined(kPieces),
                    {{0, 0, kP012}}},
        SegmentCase{
            "CoalesceOnOneMessage", "at 100 @ " + kSixtyLine + " coalesce\n", kSixty, {{0, 0, 60}}},
        SegmentCase{"ChatCommandWithTheLastPiece",
                    "at 100 @ " + kPiecesLine +
                        " name=x\nat 100.005 @ chat sender=102 "
                        "receiver=1 with text=~commands\n",
                    Joined({kPieces[0], kPieces[1], kPieces[2], kCommand}),
                    {{0, 0, kP0}, {1, kP0, kP01}, {5, kP01, kP012 + kCommand.size()}}},
        SegmentCase{"CoalescedUploadWithAChatCommand",
                    "at 100 @ chat sender=102 receiver=1 text=~commands\n"
                    "at 100.002 @ " +
                        kPiecesLine + " coalesce with name=x\n",
                    Joined({kCommand, kPieces[0], kPieces[1], kPieces[2]}),
                    {{2, 0, kCommand.size() + kP012}}},
        SegmentCase{
            "WithAfterSplitThenMss",
            "at 100 @ " + kSixtyLine + " split=20\nat 100.003 @ " + kSixtyLine + " mss=50 with\n",
            Joined({kSixty, kSixty}),
            {{0, 0, 20}, {3, 20, 110}, {4, 110, 120}}},
        SegmentCase{"MssOnOneMessage",
                    "at 100 @ " + kSixtyLine + " mss=25\n",
                    kSixty,
                    {{0, 0, 25}, {1, 25, 50}, {2, 50, 60}}},
        SegmentCase{"MssAcrossTheMessagesOfAnUpload",
                    "at 100 @ " + kPiecesLine + " mss=70 name=x\n", Joined(kPieces),
                    Chunks(0, kP012, 70)},
        SegmentCase{"RetransmittedAfterTheNext",
                    "at 100 @ " + kSixtyLine + " mss=25 retransmit=0\n",
                    kSixty,
                    {{0, 0, 25}, {1, 25, 50}, {2, 0, 25}, {3, 50, 60}}},
        SegmentCase{"RetransmittedWithOtherBytes",
                    "at 100 @ " + kSixtyLine + " mss=25 retransmit=1:other\n",
                    kSixty,
                    {{0, 0, 25}, {1, 25, 50}, {2, 50, 60}, {3, 25, 50, true}}},
        SegmentCase{"LastRetransmittedRightAfterIt",
                    "at 100 @ " + kSixtyLine + " mss=25 retransmit=2,0:other\n",
                    kSixty,
                    {{0, 0, 25}, {1, 25, 50}, {2, 0, 25, true}, {3, 50, 60}, {4, 50, 60}}},
        SegmentCase{"Reordered",
                    "at 100 @ " + kSixtyLine + " mss=25 segorder=2,0,1\n",
                    kSixty,
                    {{0, 50, 60}, {1, 0, 25}, {2, 25, 50}}},
        SegmentCase{"RetransmittedAfterTheNextWritten",
                    "at 100 @ " + kSixtyLine + " mss=25 segorder=2,0,1 retransmit=2\n",
                    kSixty,
                    {{0, 50, 60}, {1, 0, 25}, {2, 50, 60}, {3, 25, 50}}},
        SegmentCase{"Lost",
                    "at 100 @ " + kSixtyLine + " mss=25 lose=1\n",
                    kSixty,
                    {{0, 0, 25}, {1, 50, 60}}},
        SegmentCase{"WholeMessageLost", "at 100 @ " + kSixtyLine + " lose=0\n", kSixty, {}},
        SegmentCase{"LostThenRetransmitted",
                    "at 100 @ " + kSixtyLine + " mss=25 lose=0 retransmit=0\n",
                    kSixty,
                    {{0, 25, 50}, {1, 0, 25}, {2, 50, 60}}},
        SegmentCase{"LostPieceOfAnUpload",
                    "at 100 @ " + kPiecesLine + " lose=1 name=x\n",
                    Joined(kPieces),
                    {{0, 0, kP0}, {1, kP01, kP012}}},
        SegmentCase{"Skipped", "at 100 @ " + kSixtyLine + " skip=10\n", kSixty, {{0, 10, 60}}},
        SegmentCase{"SkippedIntoTheSecondPiece",
                    "at 100 @ " + kPiecesLine + " skip=" + std::to_string(kP0 + 5) + " name=x\n",
                    Joined(kPieces),
                    {{0, kP0 + 5, kP01}, {1, kP01, kP012}}},
        SegmentCase{"SkippedThenCut",
                    "at 100 @ " + kSixtyLine + " skip=10 mss=25\n",
                    kSixty,
                    {{0, 10, 35}, {1, 35, 60}}},
        SegmentCase{"SplitWithTheHeadLost",
                    "at 100 @ " + kSixtyLine + " split=20 lose=0\n",
                    kSixty,
                    {{0, 20, 60}}},
        SegmentCase{"WrongChecksum",
                    "at 100 @ " + kSixtyLine + " badsum=0\n",
                    kSixty,
                    {{0, 0, 60, false, kWrong}}},
        SegmentCase{"WrongChecksumsOnSegmentsOfAnUpload",
                    "at 100 @ " + kPiecesLine + " badsum=2,0 name=x\n",
                    Joined(kPieces),
                    {{0, 0, kP0, false, kWrong}, {1, kP0, kP01}, {2, kP01, kP012, false, kWrong}}},
        SegmentCase{
            "WrongChecksumOnARetransmittedSegment",
            "at 100 @ " + kSixtyLine + " mss=25 retransmit=0 badsum=0\n",
            kSixty,
            {{0, 0, 25, false, kWrong}, {1, 25, 50}, {2, 0, 25, false, kWrong}, {3, 50, 60}}},
        SegmentCase{"PseudoHeaderSums",
                    "at 100 @ " + kSixtyLine + " split=20 pseudosum\n",
                    kSixty,
                    {{0, 0, 20, false, kPseudo}, {1, 20, 60, false, kPseudo}}},
        SegmentCase{
            "PseudoHeaderSumsButOneWrong",
            "at 100 @ " + kSixtyLine + " mss=25 pseudosum badsum=1\n",
            kSixty,
            {{0, 0, 25, false, kPseudo}, {1, 25, 50, false, kWrong}, {2, 50, 60, false, kPseudo}}},
        SegmentCase{"SplitReversedWithAWrongChecksum",
                    "at 100 @ " + kSixtyLine + " split=20 reverse badsum=1\n",
                    kSixty,
                    {{0, 20, 60, false, kWrong}, {1, 0, 20}}},
        SegmentCase{"Decoy",
                    "at 100 @ " + kSixtyLine + " decoy=0\n",
                    kSixty,
                    {{0, 0, 60, true, kWrong}, {1, 0, 60}}},
        SegmentCase{"DecoysBeforeTheFirstWriting",
                    "at 100 @ " + kSixtyLine + " mss=25 segorder=2,1,0 retransmit=2 decoy=2,0\n",
                    kSixty,
                    {{0, 50, 60, true, kWrong},
                     {1, 50, 60},
                     {2, 25, 50},
                     {3, 50, 60},
                     {4, 0, 25, true, kWrong},
                     {5, 0, 25}}},
        SegmentCase{
            "DecoyOfASplitMessageInPseudoHeaderForm",
            "at 100 @ " + kSixtyLine + " split=20 pseudosum decoy=1\n",
            kSixty,
            {{0, 0, 20, false, kPseudo}, {1, 20, 60, true, kWrong}, {2, 20, 60, false, kPseudo}}}),
    [](const auto& param) { return param.param.name; });

// A frame a line writes between a handshake's SYN (client 127.0.0.2:1 to server
// 127.0.0.1:2300) and SYN-ACK before it and a message on each flow after it.
struct HeaderCase {
    std::string name;
    std::string line;  // "@" is the client's flow, "%" the server's
    uint8_t flags = 0;
    uint32_t shift = 0;  // from the flow's next sequence number
    // Empty: the opposite flow's next sequence number.
    std::optional<uint32_t> acknowledgement = std::nullopt;
    uint32_t counts = 0;  // how far the flow's numbering moves on
    uint16_t window = 64240;
    std::vector<uint8_t> options = {};
};

void PrintTo(const HeaderCase& test, std::ostream* out) {
    *out << test.name;
}

class HeaderLine : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(HeaderLine, WritesFlagsNumbersAndOptions) {
    std::string line = GetParam().line;
    const bool fromServer = line.starts_with('%');
    line.replace(0, 1,
                 fromServer ? "127.0.0.1:2300 > 127.0.0.2:1" : "127.0.0.2:1 > 127.0.0.1:2300");
    const auto frames =
        ScenarioFrames(ParseScenario("at 99 127.0.0.2:1 > 127.0.0.1:2300 syn\n"
                                     "at 99.5 127.0.0.1:2300 > 127.0.0.2:1 synack\n"
                                     "at 100 " +
                                         line +
                                         "\n"
                                         "at 101 127.0.0.2:1 > 127.0.0.1:2300 connect\n"
                                         "at 102 127.0.0.1:2300 > 127.0.0.2:1 connect\n",
                                     "t.scenario"));
    ASSERT_EQ(frames.size(), 5u);
    auto seq = [&](size_t i) { return ByteReader(frames[i].bytes).NetU32(38); };
    EXPECT_EQ(frames[0].bytes[47], kTcpSyn);
    EXPECT_EQ(ByteReader(frames[0].bytes).NetU32(42), 0u);
    EXPECT_EQ(frames[1].bytes[47], kTcpSyn | kTcpAck);
    EXPECT_EQ(ByteReader(frames[1].bytes).NetU32(42), seq(0) + 1);
    const uint32_t clientNext = seq(0) + 1;
    const uint32_t serverNext = seq(1) + 1;
    const uint32_t own = fromServer ? serverNext : clientNext;
    const ByteReader frame(frames[2].bytes);
    EXPECT_EQ(frame.NetU32(26), fromServer ? 0x7F000001u : 0x7F000002u);
    EXPECT_EQ(frame.U8(47), GetParam().flags);
    EXPECT_EQ(frame.NetU32(38), own + GetParam().shift);
    EXPECT_EQ(frame.NetU32(42),
              GetParam().acknowledgement.value_or(fromServer ? clientNext : serverNext));
    EXPECT_EQ(frame.NetU16(48), GetParam().window);
    EXPECT_EQ(frame.U8(46) >> 4, 5 + GetParam().options.size() / 4);
    const auto options = frame.Bytes(54, GetParam().options.size());
    EXPECT_EQ(std::vector<uint8_t>(options.begin(), options.end()), GetParam().options);
    EXPECT_TRUE(TcpChecksumValid(frames[2].bytes));
    EXPECT_EQ(seq(fromServer ? 4 : 3), own + GetParam().counts);
    EXPECT_EQ(seq(fromServer ? 3 : 4), fromServer ? clientNext : serverNext);
}

// The timestamp option at 100 s.
const std::vector<uint8_t> kTimestampAt100 = {1, 1, 8, 10, 0, 1, 0x86, 0xA0, 0, 0, 0, 0};

std::vector<uint8_t> Then(std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, HeaderLine,
    ::testing::Values(
        HeaderCase{"Ack", "@ ack", kTcpAck}, HeaderCase{"Rst", "@ rst", kTcpRst | kTcpAck},
        HeaderCase{"FinCountsOne", "@ fin", kTcpFin | kTcpAck, 0, {}, 1},
        HeaderCase{"ServersFin", "% fin", kTcpFin | kTcpAck, 0, {}, 1},
        HeaderCase{"SynAckCountsOne", "% synack", kTcpSyn | kTcpAck, 0, {}, 1},
        HeaderCase{"SynWithWindowScale", "@ syn wscale=7", kTcpSyn, 0, 0u, 1, 64240, {1, 3, 3, 7}},
        HeaderCase{"SynAckWithTimestampAndWindowScale",
                   "% synack tsopt wscale=14 window=29200",
                   kTcpSyn | kTcpAck,
                   0,
                   {},
                   1,
                   29200,
                   Then(kTimestampAt100, {1, 3, 3, 14})},
        HeaderCase{"GuessedAcknowledgement", "@ ack ack=0badc0de", kTcpAck, 0, 0x0BADC0DE},
        HeaderCase{"SynWithAnAcknowledgementField", "@ syn ack=1", kTcpSyn, 0, 1u, 1},
        HeaderCase{"SynShifted", "@ syn seqshift=5", kTcpSyn, 5, 0u, 1},
        HeaderCase{"ShiftedBack", "@ ack seqshift=-100", kTcpAck, 0xFFFFFF9C},
        HeaderCase{"ShiftedAsAnUnsignedNumber",
                   "@ connect seqshift=4294967196",
                   kTcpPsh | kTcpAck,
                   0xFFFFFF9C,
                   {},
                   36},
        HeaderCase{"ShiftedAcrossTheWrap", "% rst seqshift=4278190080", kTcpRst | kTcpAck,
                   0xFF000000},
        HeaderCase{"ClosedWindow", "@ rst window=0", kTcpRst | kTcpAck, 0, {}, 0, 0},
        HeaderCase{"MessageWithGuessedNumbers",
                   "@ chat sender=102 receiver=1 ack=5 seqshift=1000000 window=1000 text=hi",
                   kTcpPsh | kTcpAck, 1000000, 5u,
                   static_cast<uint32_t>(BuildChatMessage(0x102, 1, 0, "hi").size()), 1000}),
    [](const auto& param) { return param.param.name; });

// One IPv4 fragment or whole frame a line with frag= writes: when (milliseconds after 100 s),
// which frame of the line written without frag= it carries bytes of, its fragment offset, More
// Fragments, and which bytes of that frame's IP payload (to 0: to its end).
struct FragmentPiece {
    uint32_t millis = 0;
    size_t datagram = 0;
    size_t offset = 0;
    bool more = false;
    size_t from = 0;
    size_t to = 0;
};

struct FragmentLineCase {
    std::string name;
    std::string line;   // after "at 100 127.0.0.2:1 > 127.0.0.1:2300 "
    std::string plain;  // the same without frag=
    std::vector<FragmentPiece> frames;
};

void PrintTo(const FragmentLineCase& test, std::ostream* out) {
    *out << test.name;
}

class FragmentLine : public ::testing::TestWithParam<FragmentLineCase> {};

TEST_P(FragmentLine, CarriesTheDatagramsBytes) {
    auto framesOf = [](const std::string& line) {
        return ScenarioFrames(ParseScenario(
            "at 99 127.0.0.2:1 > 127.0.0.1:2300 syn\nat 100 127.0.0.2:1 > 127.0.0.1:2300 " + line +
                "\n",
            "t.scenario"));
    };
    const auto frames = framesOf(GetParam().line);
    const auto plain = framesOf(GetParam().plain);
    const auto& expected = GetParam().frames;
    ASSERT_EQ(frames.size(), expected.size() + 1);
    std::map<std::pair<uint32_t, size_t>, uint16_t> ids;  // source and datagram: identification
    std::set<std::pair<uint32_t, uint16_t>> distinct;
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& bytes = frames[i + 1].bytes;
        const ByteReader frame(bytes);
        const auto& datagram = plain.at(expected[i].datagram + 1).bytes;
        EXPECT_EQ(frames[i + 1].seconds, 100u);
        EXPECT_EQ(frames[i + 1].micros, expected[i].millis * 1000);
        EXPECT_TRUE(Ipv4ChecksumValid(bytes));
        // A whole datagram keeps Don't Fragment; fragments have it cleared.
        const bool whole = !expected[i].more && expected[i].offset == 0;
        EXPECT_EQ(frame.NetU16(20),
                  whole ? 0x4000 : (expected[i].more ? 0x2000 : 0) | (expected[i].offset / 8));
        const size_t to = expected[i].to == 0 ? datagram.size() - 34 : expected[i].to;
        EXPECT_EQ(frame.NetU16(16), 20 + to - expected[i].from);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 34, bytes.end()),
                  std::vector<uint8_t>(datagram.begin() + 34 + static_cast<long>(expected[i].from),
                                       datagram.begin() + 34 + static_cast<long>(to)));
        const uint16_t id = frame.NetU16(18);
        EXPECT_NE(id, 0);
        const auto key = std::make_pair(frame.NetU32(26), expected[i].datagram);
        if (auto [place, made] = ids.emplace(key, id); made) {
            EXPECT_TRUE(distinct.emplace(key.first, id).second) << "identification used twice";
        } else {
            EXPECT_EQ(place->second, id) << "fragments of one datagram";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, FragmentLine,
    ::testing::Values(FragmentLineCase{"InOrder",
                                       kSixtyLine + " frag=0:24",
                                       kSixtyLine,
                                       {{0, 0, 0, true, 0, 24}, {1, 0, 24, false, 24, 80}}},
                      FragmentLineCase{"Reversed",
                                       kSixtyLine + " frag=0:72:reverse",
                                       kSixtyLine,
                                       {{0, 0, 72, false, 72, 80}, {1, 0, 0, true, 0, 72}}},
                      FragmentLineCase{"FirstAlone",
                                       kSixtyLine + " frag=0:8:first",
                                       kSixtyLine,
                                       {{0, 0, 0, true, 0, 8}}},
                      FragmentLineCase{"Overlapping",
                                       kSixtyLine + " frag=0:24:overlap",
                                       kSixtyLine,
                                       {{0, 0, 0, true, 0, 24}, {1, 0, 16, false, 16, 80}}},
                      FragmentLineCase{"BareSynInTheTcpHeader",
                                       "syn frag=0:8",
                                       "syn",
                                       {{0, 0, 0, true, 0, 8}, {1, 0, 8, false, 8, 20}}},
                      FragmentLineCase{"WithTimestamps",
                                       kSixtyLine + " tsopt frag=0:32",
                                       kSixtyLine + " tsopt",
                                       {{0, 0, 0, true, 0, 32}, {1, 0, 32, false, 32, 92}}},
                      FragmentLineCase{"PseudoHeaderSumInTheFirst",
                                       kSixtyLine + " pseudosum frag=0:48",
                                       kSixtyLine + " pseudosum",
                                       {{0, 0, 0, true, 0, 48}, {1, 0, 48, false, 48, 80}}},
                      FragmentLineCase{"OneSegmentOfAnUpload",
                                       kPiecesLine + " frag=1:16:reverse name=x",
                                       kPiecesLine + " name=x",
                                       {{0, 0, 0, false, 0, 0},
                                        {1, 1, 16, false, 16, 0},
                                        {2, 1, 0, true, 0, 16},
                                        {3, 2, 0, false, 0, 0}}},
                      FragmentLineCase{"MiddleSegment",
                                       kSixtyLine + " mss=25 frag=1:16",
                                       kSixtyLine + " mss=25",
                                       {{0, 0, 0, false, 0, 0},
                                        {1, 1, 0, true, 0, 16},
                                        {2, 1, 16, false, 16, 45},
                                        {3, 2, 0, false, 0, 0}}},
                      FragmentLineCase{"RepeatedFirstFragments",
                                       "raw hex=0102 pad=100 frag=0:64:first repeat=4 spread=2",
                                       "raw hex=0102 pad=100 repeat=4 spread=2",
                                       {{0, 0, 0, true, 0, 64},
                                        {0, 1, 0, true, 0, 64},
                                        {0, 2, 0, true, 0, 64},
                                        {0, 3, 0, true, 0, 64}}}),
    [](const auto& param) { return param.param.name; });

TEST(ScenarioFramesTest, SynAckCopiesGoToEachClient) {
    const auto frames = ScenarioFrames(
        ParseScenario("at 100 127.0.0.2:40000 > 127.0.0.1:2300 syn repeat=4 spread=2 ports=2\n"
                      "at 100 127.0.0.1:2300 > 127.0.0.2:40000 synack repeat=4 spread=2 ports=2\n",
                      "t.scenario"));
    ASSERT_EQ(frames.size(), 8u);
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        // All copies are due at once: the SYNs' line first.
        const ByteReader syn(frames[i].bytes);
        const ByteReader synack(frames[4 + i].bytes);
        EXPECT_EQ(synack.NetU32(26), 0x7F000001u);
        EXPECT_EQ(synack.NetU16(34), 2300);
        EXPECT_EQ(synack.NetU32(30), syn.NetU32(26));
        EXPECT_EQ(synack.NetU16(36), syn.NetU16(34));
        EXPECT_EQ(synack.NetU32(30), 0x7F000002u + i % 2);
        EXPECT_EQ(synack.NetU16(36), 40000 + i / 2);
        EXPECT_EQ(synack.NetU32(42), syn.NetU32(38) + 1);
    }
}

TEST(ScenarioParse, SegmentOptionErrors) {
    const std::string at = "at 100 127.0.0.2:1 > 127.0.0.1:2 ";
    const std::string next = "\nat 100.5 127.0.0.2:1 > 127.0.0.1:2 ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"syn coalesce", "1: a bare SYN has no bytes to cut into segments"},
        {"random seed=1 mss=5", "1: random takes no segment options"},
        {"connect repeat=2 lose=0", "1: repeat= takes no segment options"},
        {"connect split=4 reverse lose=0", "1: reverse does not go with the segment options"},
        {"connect coalesce mss=4", "1: coalesce does not go with split= or mss="},
        {"connect mss=4 split=4", "1: mss= does not go with split="},
        {"connect mss=0", "1: mss= needs a decimal number 1 to 65483, not '0'"},
        {"connect skip=36", "1: skip= needs a decimal number 1 to 35 (the line has 36 bytes)"},
        {"connect mss=10 segorder=0,1,2",
         "1: segorder= needs each segment number 0 to 3 once (the line has 4 segments), not "
         "'0,1,2'"},
        {"connect mss=10 segorder=0,1,2,2",
         "1: segorder= needs distinct segment numbers 0 to 3 (the line has 4 segments)"},
        {"connect mss=10 lose=4", "1: lose= needs distinct segment numbers 0 to 3 (the line"},
        {"connect mss=10 retransmit=1:others",
         "1: retransmit= needs distinct segment numbers 0 to 3, each with or without :other"},
        {"upload sender=1 seq=1 chassis=1 size=70000 piecebytes=60000 coalesce name=x",
         "1: segment of 70086 bytes does not fit one IPv4 packet"},
        {"connect with", "1: with needs a line before it whose message it can join"},
        {"syn" + next + "connect with", "2: with needs a line before it whose message"},
        {"connect\nat 100.5 127.0.0.3:1 > 127.0.0.1:2 connect with",
         "2: with needs the line before it on the same flow"},
        {"connect lose=0" + next + "connect with",
         "2: with needs the last segment the line before writes to end its bytes"},
        {"connect mss=10 segorder=3,0,1,2" + next + "connect with",
         "2: with needs the last segment the line before writes"},
        {"connect" + next + "connect skip=1 with",
         "2: with needs the first segment this line writes to start its bytes"},
        {"connect tsopt" + next + "connect with", "2: with needs tsopt on both lines or on"},
        {"rst coalesce", "1: an RST has no bytes to cut into segments"},
        {"connect" + next + "connect with badsum=0",
         "2: with does not go with TCP header, checksum or fragment options"},
        {"connect" + next + "connect with ack=1", "2: with does not go with TCP header"},
        {"connect pseudosum" + next + "connect with",
         "2: with needs a line before it without TCP header, checksum or fragment options"},
        {"connect seqshift=5" + next + "connect with", "2: with needs a line before it without"},
        {"connect badsum=1",
         "1: badsum= needs distinct segment numbers 0 to 0 (the line has 1 segments)"},
        {"connect mss=10 decoy=4", "1: decoy= needs distinct segment numbers 0 to 3"},
        {"syn decoy=0", "1: decoy= needs a segment with bytes to change"},
        {"connect pseudosum pseudosum", "1: pseudosum given twice"},
        {"connect frag=0:12",
         "1: frag= needs a multiple of 8 from 8 to 48 bytes in the first fragment of segment 0 "
         "(its IP payload is 56 bytes), not '12'"},
        {"connect frag=0:56", "1: frag= needs a multiple of 8 from 8 to 48 bytes in the first"},
        {"connect frag=0:0", "1: frag= needs a multiple of 8 from 8 to 48 bytes"},
        {"connect frag=0:8:overlap", "1: frag= needs a multiple of 8 from 16 to 48 bytes"},
        {"syn frag=0:24",
         "1: frag= needs a multiple of 8 from 8 to 16 bytes in the first "
         "fragment of segment 0 (its IP payload is 20 bytes), not '24'"},
        {"connect mss=10 frag=4:8",
         "1: frag= needs <segment>:<bytes>[:reverse|:first|:overlap],... with distinct segment "
         "numbers 0 to 3 (the line has 4 segments), not '4:8'"},
        {"connect mss=10 frag=1:8,1:16", "1: frag= needs <segment>:<bytes>"},
        {"connect frag=0:8:sideways", "1: frag= needs <segment>:<bytes>"},
        {"connect frag=0", "1: frag= needs <segment>:<bytes>"},
    };
    for (const auto& [line, error] : cases) {
        EXPECT_THAT(ErrorOf(at + line + "\n"), HasSubstr("t.scenario:" + error)) << line;
    }
    // A line's frames go out 1 ms apart; the next line may not come before the last of them.
    EXPECT_EQ(ErrorOf(at + "connect mss=10\nat 100.0029 127.0.0.2:1 > 127.0.0.1:2 syn\n"),
              "t.scenario:2: time 100.0029 is earlier than the frame before");
}

TEST(ScenarioFramesTest, SequenceNumbersCountUpPerFlow) {
    auto scenario = ParseScenario(
        "at 100 127.0.0.2:1 > 127.0.0.1:2300 syn\n"
        "at 101 127.0.0.2:1 > 127.0.0.1:2300 connect\n"
        "at 102 127.0.0.3:1 > 127.0.0.1:2300 connect\n"
        "at 103 127.0.0.2:1 > 127.0.0.1:2300 delete id=5\n",
        "t.scenario");
    auto frames = ScenarioFrames(scenario);
    ASSERT_EQ(frames.size(), 4u);
    auto seq = [&](size_t i) { return ByteReader(frames[i].bytes).NetU32(38); };
    auto flags = [&](size_t i) { return frames[i].bytes[47]; };
    EXPECT_EQ(flags(0), kTcpSyn);
    EXPECT_EQ(frames[0].bytes.size(), 54u);
    EXPECT_EQ(seq(1), seq(0) + 1);  // the SYN takes one
    EXPECT_EQ(flags(1), kTcpPsh | kTcpAck);
    EXPECT_EQ(seq(3), seq(1) + 36);
    EXPECT_NE(seq(2), seq(1));  // another flow, its own numbers
    for (const auto& frame : frames) {
        EXPECT_TRUE(Ipv4ChecksumValid(frame.bytes));
        EXPECT_TRUE(TcpChecksumValid(frame.bytes));
    }
    EXPECT_EQ(frames[3].seconds, 103u);
    EXPECT_EQ(frames[3].micros, 0u);
}

TEST(ScenarioFramesTest, RepeatedLineGoesOutAmongLaterLines) {
    auto scenario = ParseScenario(
        "at 100 127.0.0.2:1 > 127.0.0.1:2300 game sender=7 receiver=1 type=5 hex=feff pad=3 "
        "repeat=4 over=0.004 spread=3 step=29\n"
        "at 100.002 127.0.0.9:1 > 127.0.0.1:2300 connect\n",
        "t.scenario");
    auto frames = ScenarioFrames(scenario);
    ASSERT_EQ(frames.size(), 5u);
    // Copies at 0, 1, 2 and 3 ms; the connect line's frame at 2 ms comes before the copy due then.
    const std::vector<uint32_t> micros = {0, 1000, 2000, 2000, 3000};
    const std::vector<uint32_t> sources = {0x7F000002, 0x7F000003, 0x7F000009, 0x7F000004,
                                           0x7F000002};
    const std::vector<uint16_t> counted = {0xFFFE, 0xFFFF, 0, 0, 1};  // wrapping at 16 bits
    for (size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const ByteReader frame(frames[i].bytes);
        EXPECT_EQ(frames[i].micros, micros[i]);
        EXPECT_EQ(frame.NetU32(26), sources[i]);
        if (i != 2) {
            EXPECT_EQ(frame.U16(54 + 29), counted[i]);
            EXPECT_EQ(frame.U16(54), 29 + 5);  // the size word counts the padding
            EXPECT_EQ(frames[i].bytes.size(), 54u + 29 + 5);
        }
    }
    // The first source's second copy continues its flow.
    EXPECT_EQ(ByteReader(frames[4].bytes).NetU32(38), ByteReader(frames[0].bytes).NetU32(38) + 34);
}

TEST(ScenarioFramesTest, RepeatedLinesOpenConnectionsOnManyPortsAndSendBeyondAGap) {
    auto frames = ScenarioFrames(ParseScenario(
        "at 100 127.0.0.2:40000 > 127.0.0.1:2300 syn repeat=4 spread=2 ports=2\n"
        "at 101 127.0.0.2:40000 > 127.0.0.1:2300 raw hex=0102 repeat=4 spread=2 ports=2 "
        "ahead=100\n"
        "at 102 127.0.0.9:1 > 127.0.0.1:2300 raw hex=03\n"
        "at 103 127.0.0.9:1 > 127.0.0.1:2300 raw hex=04 ahead=7\n",
        "t.scenario"));
    ASSERT_EQ(frames.size(), 10u);
    auto seq = [&](size_t i) { return ByteReader(frames[i].bytes).NetU32(38); };
    const std::vector<std::pair<uint32_t, uint16_t>> connections = {
        {0x7F000002, 40000}, {0x7F000003, 40000}, {0x7F000002, 40001}, {0x7F000003, 40001}};
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        for (size_t frame : {i, i + 4}) {
            EXPECT_EQ(ByteReader(frames[frame].bytes).NetU32(26), connections[i].first);
            EXPECT_EQ(ByteReader(frames[frame].bytes).NetU16(34), connections[i].second);
        }
        // Each connection's bytes begin 100 bytes beyond the one its SYN leads to.
        EXPECT_EQ(seq(i + 4), seq(i) + 1 + 100);
    }
    // A single line leaves its gap too, and the flow goes on beyond it.
    EXPECT_EQ(seq(9), seq(8) + 1 + 7);
}

TEST(ScenarioFramesTest, RandomPayloadsFollowTheSeed) {
    auto frames = [](const std::string& options) {
        return ScenarioFrames(ParseScenario(
            "at 100 127.0.0.2:1 > 127.0.0.1:2300 random " + options + " repeat=200\n", "t"));
    };
    const auto framed = frames("seed=5 maxbytes=40 framed");
    EXPECT_EQ(framed.size(), 200u);
    std::set<uint8_t> types;
    for (const TimedFrame& frame : framed) {
        const ByteReader payload(ByteReader(frame.bytes).Rest(54));
        ASSERT_GE(payload.size(), 29u);
        ASSERT_LE(payload.size(), 40u);
        EXPECT_EQ(payload.U16(0), payload.size());
        EXPECT_EQ(payload.U16(2), kSessionToken);
        EXPECT_EQ(payload.U32(24), 1u);
        types.insert(payload.U8(28));
    }
    EXPECT_GT(types.size(), 50u);
    const auto bare = frames("seed=5 maxbytes=3");
    std::set<size_t> lengths;
    for (const TimedFrame& frame : bare) {
        lengths.insert(frame.bytes.size() - 54);
    }
    EXPECT_EQ(lengths, (std::set<size_t>{1, 2, 3}));
    EXPECT_EQ(frames("seed=5 maxbytes=40 framed").back().bytes, framed.back().bytes);
    EXPECT_NE(frames("seed=6 maxbytes=40 framed").back().bytes, framed.back().bytes);
}

TEST(ScenarioParse, RepetitionErrors) {
    const std::string at = "at 100 127.0.0.2:1 > 127.0.0.1:2 ";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"connect spread=2", "over=, spread=, ports= and step= go with repeat="},
        {"connect ports=2", "over=, spread=, ports= and step= go with repeat="},
        {"connect repeat=2 ports=65536", "ports= needs a decimal number 1 to 65535 (ports beyond"},
        {"connect ahead=0", "ahead= needs a decimal number 1 to 2147483647, not '0'"},
        {"syn ahead=5", "a bare SYN carries no bytes to send ahead"},
        {"connect ahead=5 mss=10", "ahead= does not go with the segment options"},
        {"upload sender=1 seq=1 chassis=1 ahead=2 name=x", "upload takes no option 'ahead='"},
        {"connect repeat=0", "repeat= needs a decimal number 1 to 10000000, not '0'"},
        {"connect repeat=2 split=3", "repeat= takes no split= or reverse"},
        {"connect repeat=2 step=35",
         "step= needs a decimal number 0 to 34 (the payload is 36 "
         "bytes), not '35'"},
        {"connect repeat=2 over=x", "over= needs seconds, not 'x'"},
        {"random seed=1 repeat=2 step=0", "step= needs a payload of at least 2 bytes"},
        {"random seed=1 framed maxbytes=28", "maxbytes= needs a decimal number 29 to 65483"},
        {"connect framed", "connect takes no option 'framed'"},
        {"connect pad=1", "connect takes no option 'pad='"},
        {"upload sender=1 seq=1 chassis=1 repeat=2 name=x", "upload takes no option 'repeat='"},
        {"connect repeat=2 decoy=0", "repeat= takes no decoy=: each copy is one frame"},
        {"connect repeat=2 frag=0:8", "repeat= takes frag= only as <segment>:<bytes>:first"},
        {"syn repeat=2 frag=0:16:overlap", "repeat= takes frag= only as"},
        {"random seed=1 repeat=2 frag=0:24:first",
         "frag= needs a multiple of 8 from 8 to 16 bytes in the first fragment of segment 0 "
         "(its IP payload is 21 bytes)"},
        {"fin ahead=5", "a FIN carries no bytes to send ahead"},
        {"connect ack=xyz", "ack= needs a hexadecimal number of up to 8 digits, not 'xyz'"},
        {"connect seqshift=4294967296",
         "seqshift= needs a decimal number -4294967295 to 4294967295, not '4294967296'"},
        {"connect seqshift=--1", "seqshift= needs a decimal number -4294967295 to 4294967295"},
        {"connect seqshift=-", "seqshift= needs a decimal number"},
        {"connect window=65536", "window= needs a decimal number 0 to 65535, not '65536'"},
        {"connect wscale=3", "wscale= goes only with syn or synack"},
        {"syn wscale=256", "wscale= needs a decimal number 0 to 255, not '256'"},
        {"synack split=1", "a bare SYN-ACK cannot be split"},
    };
    for (const auto& [line, error] : cases) {
        EXPECT_THAT(ErrorOf(at + line + "\n"), HasSubstr("t.scenario:1: " + error)) << line;
    }
    EXPECT_THAT(ErrorOf("at 100 255.255.255.254:1 > 127.0.0.1:2 connect repeat=3 spread=3\n"),
                HasSubstr("spread= needs a decimal number 1 to 2 (addresses beyond"));
    EXPECT_THAT(ErrorOf("at 100 0.0.0.0:1 > 127.0.0.1:2 connect repeat=3 spread=4294967296\n"),
                HasSubstr("spread= needs a decimal number 1 to 4294967295 (addresses beyond"));
    // A SYN-ACK's copies count the destination, the client's end.
    EXPECT_THAT(ErrorOf("at 100 127.0.0.1:2 > 255.255.255.254:1 synack repeat=3 spread=3\n"),
                HasSubstr("spread= needs a decimal number 1 to 2 (addresses beyond"));
    EXPECT_THAT(ErrorOf("at 100 127.0.0.1:2 > 127.0.0.2:65535 synack repeat=3 ports=2\n"),
                HasSubstr("ports= needs a decimal number 1 to 1 (ports beyond"));
    EXPECT_EQ(ErrorOf("at 100 255.255.255.254:1 > 127.0.0.1:2 synack repeat=3 spread=3\n"),
              "(no error)");
}

TEST_F(ScenarioFiles, IncludesAndVariables) {
    Write("inner.scenario", "at +${at} 127.0.0.2:1 > 127.0.0.1:${port} delete id=${id}\n");
    const std::string outer = Write("outer.scenario",
                                    "base 100\n"
                                    "at 100 127.0.0.3:1 > 127.0.0.1:${port} connect\n"
                                    "include inner.scenario\n");
    const ScenarioVariables variables = {{"port", "2300"}, {"at", "1.5"}, {"id", "2a"}};
    auto scenario = LoadScenario(outer, variables);
    ASSERT_EQ(scenario.events.size(), 2u);
    EXPECT_EQ(scenario.events[1].payload, BuildDeletionMessage(0x2A));
    EXPECT_EQ(scenario.events[1].destination.port, 2300);
    EXPECT_EQ(scenario.events[1].micros, 101'500'000u);

    auto errorOf = [&](const std::string& path, const ScenarioVariables& given) -> std::string {
        try {
            LoadScenario(path, given);
        } catch (const ScenarioError& error) {
            return error.what();
        }
        return "(no error)";
    };
    EXPECT_EQ(errorOf(outer, {{"port", "2300"}, {"at", "1"}}),
              (dir_ / "inner.scenario").string() +
                  ":1: ${id} is not set (korvane-mkcap --set id=<value>)");
    const std::string loop = Write("loop.scenario", "include loop.scenario\n");
    EXPECT_THAT(errorOf(loop, {}), HasSubstr(":1: includes nest deeper than 8"));
    const std::string missing = Write("missing.scenario", "include nowhere.scenario\n");
    EXPECT_THAT(errorOf(missing, {}), HasSubstr(":1: cannot read the included file"));

    // korvane-mkcap takes the values with --set and counts the frames with --count.
    std::string errors;
    EXPECT_EQ(RunMkcap({"--set", "port", outer, (dir_ / "x.pcap").string()}, errors), 2);
    EXPECT_THAT(errors, HasSubstr("--set needs NAME=VALUE"));
}

TEST_F(ScenarioFiles, SplitAndReverseAsReadBackByLibpcap) {
    const std::string text =
        "base 1075819800\n"
        "at +1.25 127.0.0.2:40001 > 127.0.0.1:2300 chat sender=102 receiver=1 split=20 "
        "text=straight\n"
        "at +2.999 127.0.0.2:40001 > 127.0.0.1:2300 chat sender=102 receiver=1 split=30 "
        "reverse tsopt text=backwards\n";
    auto scenario = ParseScenario(text, "t.scenario");
    std::string error;
    std::string out = (dir_ / "out.pcap").string();
    ASSERT_TRUE(
        WriteCaptureFile(ScenarioFrames(scenario), out, PcapFileWriter::Format::pcap, error))
        << error;
    auto records = ReadCapture(out);
    ASSERT_EQ(records.size(), 4u);

    auto straight = BuildChatMessage(0x102, 1, 0, "straight");
    EXPECT_EQ(records[0].seconds, kBase + 1);
    EXPECT_EQ(records[0].micros, 250'000u);
    EXPECT_EQ(records[1].seconds, kBase + 1);
    EXPECT_EQ(records[1].micros, 251'000u);
    ASSERT_EQ(records[0].bytes.size(), 54u + 20u);
    EXPECT_EQ(std::vector<uint8_t>(records[0].bytes.begin() + 54, records[0].bytes.end()),
              std::vector<uint8_t>(straight.begin(), straight.begin() + 20));
    EXPECT_EQ(std::vector<uint8_t>(records[1].bytes.begin() + 54, records[1].bytes.end()),
              std::vector<uint8_t>(straight.begin() + 20, straight.end()));
    ByteReader first(records[0].bytes), second(records[1].bytes);
    EXPECT_EQ(second.NetU32(38), first.NetU32(38) + 20);

    // Reversed: the tail is written first, the head 1 ms later; with timestamps the payload
    // starts at 66.
    auto backwards = BuildChatMessage(0x102, 1, 0, "backwards");
    EXPECT_EQ(records[2].seconds, kBase + 2);
    EXPECT_EQ(records[2].micros, 999'000u);
    EXPECT_EQ(records[3].seconds, kBase + 3);
    EXPECT_EQ(records[3].micros, 0u);
    ByteReader tail(records[2].bytes), head(records[3].bytes);
    EXPECT_EQ(tail.U8(46) >> 4, 8);
    EXPECT_EQ(head.U8(46) >> 4, 8);
    EXPECT_EQ(std::vector<uint8_t>(records[3].bytes.begin() + 66, records[3].bytes.end()),
              std::vector<uint8_t>(backwards.begin(), backwards.begin() + 30));
    EXPECT_EQ(std::vector<uint8_t>(records[2].bytes.begin() + 66, records[2].bytes.end()),
              std::vector<uint8_t>(backwards.begin() + 30, backwards.end()));
    EXPECT_EQ(head.NetU32(38), second.NetU32(38) + (straight.size() - 20));
    EXPECT_EQ(tail.NetU32(38), head.NetU32(38) + 30);
    // Timestamp value: milliseconds of the frame's time, truncated to 32 bits.
    EXPECT_EQ(head.NetU32(58), static_cast<uint32_t>((kBase + 3) * 1000ull));
    for (const auto& record : records) {
        EXPECT_TRUE(TcpChecksumValid(record.bytes));
    }
}

TEST_F(ScenarioFiles, PcapngReadsBackTheSameFrames) {
    auto scenario = ParseScenario(
        "at 1075819800.5 127.0.0.2:40001 > 127.0.0.1:2300 connect\n"
        "at 1075819801 127.0.0.2:40001 > 127.0.0.1:2300 delete id=2a\n",
        "t.scenario");
    auto frames = ScenarioFrames(scenario);
    std::string error;
    std::string out = (dir_ / "out.pcapng").string();
    ASSERT_TRUE(WriteCaptureFile(frames, out, PcapFileWriter::Format::pcapng, error)) << error;
    auto records = ReadCapture(out);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].bytes, frames[0].bytes);
    EXPECT_EQ(records[0].micros, 500'000u);
    EXPECT_EQ(records[1].bytes, frames[1].bytes);
}

TEST_F(ScenarioFiles, MkcapReportsErrorsAndWritesNothing) {
    std::string scenario = Write("bad.scenario",
                                 "base 1075819800\n"
                                 "at +1 127.0.0.2:1 > 127.0.0.1:2300 connect\n"
                                 "at +2 127.0.0.2:1 > 127.0.0.1:2300 chat sender=1 text=x\n");
    std::string out = (dir_ / "bad.pcap").string();
    std::string errors;
    EXPECT_EQ(RunMkcap({scenario, out}, errors), 1);
    EXPECT_EQ(errors, scenario + ":3: chat needs receiver=\n");
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(out + ".partial"));

    EXPECT_EQ(RunMkcap({(dir_ / "missing.scenario").string(), out}, errors), 1);
    EXPECT_THAT(errors, HasSubstr("missing.scenario: cannot read the file"));
    EXPECT_FALSE(std::filesystem::exists(out));

    // An output that cannot be created: nothing left behind either.
    std::string good = Write("good.scenario", "at 5 127.0.0.2:1 > 127.0.0.1:2300 connect\n");
    std::string unwritable = (dir_ / "no-such-dir" / "x.pcap").string();
    EXPECT_EQ(RunMkcap({good, unwritable}, errors), 1);
    EXPECT_THAT(errors, HasSubstr("cannot write the capture file"));

    EXPECT_EQ(RunMkcap({good}, errors), 2);
    EXPECT_THAT(errors, HasSubstr("usage: korvane-mkcap"));
    EXPECT_EQ(RunMkcap({"--pcap-ng", good, out}, errors), 2);
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(ScenarioFiles, MkcapWritesWhatTheLibraryBuilds) {
    std::string text =
        "base 1075819800\n"
        "at +0 127.0.0.2:40001 > 127.0.0.1:2300 syn tsopt\n"
        "at +1 127.0.0.2:40001 > 127.0.0.1:2300 create id=2a name=Bob\n";
    std::string scenario = Write("good.scenario", text);
    std::string errors;
    for (bool pcapng : {false, true}) {
        std::string out = (dir_ / (pcapng ? "good.pcapng" : "good.pcap")).string();
        std::vector<std::string> args = {"--count", scenario, out};
        if (pcapng) {
            args.insert(args.begin(), "--pcapng");
        }
        ASSERT_EQ(RunMkcap(args, errors), 0) << errors;
        EXPECT_EQ(errors, "");
        EXPECT_EQ(ReadWholeFile(dir_ / "mkcap.out"), "2\n");
        std::string expected = (dir_ / "expected").string();
        std::string error;
        ASSERT_TRUE(WriteCaptureFile(
            ScenarioFrames(ParseScenario(text, "x")), expected,
            pcapng ? PcapFileWriter::Format::pcapng : PcapFileWriter::Format::pcap, error));
        EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(expected));
        EXPECT_EQ(ReadCapture(out).size(), 2u);
    }
}

TEST_F(ScenarioFiles, MkcapReadingLineByLineWritesWhatTheWholeScenarioMakes) {
    // Repeated lines whose copies run past later lines and past the end, an include, a variable,
    // random payloads and a split upload: korvane-mkcap reads and writes a line at a time, and
    // still writes the frames in the order the whole scenario gives them.
    Write("inner.scenario", "at +0.5 127.0.0.5:1 > 127.0.0.1:${port} delete id=2a\n");
    const std::string text =
        "base 100\n"
        "at +0 127.0.0.2:1 > 127.0.0.1:${port} connect repeat=5 over=2 spread=3\n"
        "at +0.2 127.0.0.3:1 > 127.0.0.1:${port} random seed=4 repeat=4 over=0.4\n"
        "include inner.scenario\n"
        "at +1 127.0.0.4:1 > 127.0.0.1:${port} upload sender=102 seq=1 chassis=55 pieces=3 "
        "split=40 name=Streamed\n"
        "at +1.5 127.0.0.4:1 > 127.0.0.1:${port} chat sender=102 receiver=1 split=5 reverse "
        "text=after\n";
    const std::string scenario = Write("whole.scenario", text);
    const ScenarioVariables variables = {{"port", "2300"}};
    const auto frames = ScenarioFrames(LoadScenario(scenario, variables));
    ASSERT_EQ(frames.size(), 5u + 4u + 1u + 6u + 2u);
    std::string expected = (dir_ / "expected.pcap").string();
    std::string error;
    ASSERT_TRUE(WriteCaptureFile(frames, expected, PcapFileWriter::Format::pcap, error)) << error;

    std::string errors;
    const std::string out = (dir_ / "streamed.pcap").string();
    ASSERT_EQ(RunMkcap({"--count", "--set", "port=2300", scenario, out}, errors), 0) << errors;
    EXPECT_EQ(ReadWholeFile(dir_ / "mkcap.out"), std::to_string(frames.size()) + "\n");
    EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(expected));

    // An error on a late line, after frames were written: still nothing left behind.
    const std::string late = Write("late.scenario", text + "at +1 127.0.0.2:1 > 127.0.0.1:2 syn\n");
    const std::string lateOut = (dir_ / "late.pcap").string();
    EXPECT_EQ(RunMkcap({"--set", "port=2300", late, lateOut}, errors), 1);
    EXPECT_EQ(errors, late + ":7: time +1 is earlier than the frame before\n");
    EXPECT_FALSE(std::filesystem::exists(lateOut));
    EXPECT_FALSE(std::filesystem::exists(lateOut + ".partial"));
}

TEST(HostileScenarios, FragmentsAndSynFloodMakeTheirAttack) {
    const std::filesystem::path hostile =
        std::filesystem::path(KORVANE_SOURCE_DIR) / "tools/hostile";
    const ScenarioVariables variables = {{"port", "2300"}, {"count", "6"}};
    const size_t honest =
        ScenarioFrames(LoadScenario((hostile / "honest.scenario").string(), variables)).size();
    auto attack = [&](const std::string& name) {
        std::vector<TimedFrame> frames;
        for (TimedFrame& frame :
             ScenarioFrames(LoadScenario((hostile / name).string(), variables))) {
            // From or to a spoofed address, not 127.0.0.x.
            if (ByteReader(frame.bytes).U8(27) != 0 || ByteReader(frame.bytes).U8(31) != 0) {
                frames.push_back(std::move(frame));
            }
        }
        return frames;
    };
    const auto fragments = attack("fragments.scenario");
    ASSERT_EQ(fragments.size(), 6u);
    std::set<uint32_t> sources;
    for (const TimedFrame& frame : fragments) {
        const ByteReader reader(frame.bytes);
        EXPECT_EQ(reader.NetU16(20), 0x2000);  // More Fragments, offset 0
        EXPECT_EQ(reader.NetU16(16), 20 + 512);
        EXPECT_NE(reader.NetU16(18), 0);
        EXPECT_TRUE(IsLoopback(reader.NetU32(26)));
        sources.insert(reader.NetU32(26));
    }
    EXPECT_EQ(sources.size(), 6u);
    EXPECT_EQ(
        ScenarioFrames(LoadScenario((hostile / "fragments.scenario").string(), variables)).size(),
        honest + 6);

    const auto flood = attack("synflood.scenario");
    ASSERT_EQ(flood.size(), 6u * 5);
    std::map<uint8_t, int> flags;
    for (size_t i = 0; i < flood.size(); ++i) {
        const ByteReader reader(flood[i].bytes);
        flags[reader.U8(47)] += 1;
        if (reader.U8(47) == kTcpAck || reader.U8(47) == (kTcpPsh | kTcpAck)) {
            // The spoofer's guess, never the SYN-ACK's sequence number plus one.
            EXPECT_EQ(reader.NetU32(42), 0x0BADC0DEu);
            const ByteReader synack(flood[i - (reader.U8(47) == kTcpAck ? 1 : 2)].bytes);
            ASSERT_EQ(synack.U8(47), kTcpSyn | kTcpAck);
            EXPECT_EQ(synack.NetU32(30), reader.NetU32(26));
            EXPECT_NE(synack.NetU32(38) + 1, reader.NetU32(42));
        }
    }
    EXPECT_EQ(flags,
              (std::map<uint8_t, int>{
                  {kTcpSyn, 12}, {kTcpSyn | kTcpAck, 6}, {kTcpAck, 6}, {kTcpPsh | kTcpAck, 6}}));
}

TEST_F(ScenarioFiles, CommittedDemoCaptureIsWhatMkcapMakes) {
    const std::filesystem::path demo = std::filesystem::path(KORVANE_SOURCE_DIR) / "tools/demo";
    std::string out = (dir_ / "session.pcap").string();
    std::string errors;
    ASSERT_EQ(RunMkcap({(demo / "session.scenario").string(), out}, errors), 0) << errors;
    std::string made = ReadWholeFile(out);
    ASSERT_GT(made.size(), 24u);
    EXPECT_TRUE(made == ReadWholeFile(demo / "session.pcap"))
        << "tools/demo/session.pcap is out of date: regenerate it with korvane-mkcap";

    // The demo spans a little over three minutes from 14:50:00 UTC on Feb 03 2004, long enough
    // for announcements every minute.
    auto records = ReadCapture(out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().seconds, kBase);
    EXPECT_EQ(records.back().seconds, kBase + 185);
}

}  // namespace
}  // namespace korvane::tools
