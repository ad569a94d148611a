// The variant inspector agrees with the guard: every variant the replayed sessions upload (the
// demo's, the honest players of the hostile runs, the judged variants) is replayed through the
// built program against the stand-in game server, and the inspector, given the same container,
// calls illegal exactly the variants whose players the guard kicked, with the reason the guard
// sent them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "capture/byte_reader.h"
#include "capture/session_message.h"
#include "platform/format.h"
#include "rules/selection_message.h"
#include "tests/support/child_process.h"
#include "tests/support/replayed_run.h"
#include "tests/support/sample_sessions.h"
#include "tests/support/standin_process.h"
#include "tools/scenario.h"
#include "tools/variant_builder.h"
#include "tools/variant_inspection.h"

namespace korvane {
namespace {

using korvane::testing::Arrived;
using korvane::testing::ArrivedChat;
using korvane::testing::FreshDirectory;
using korvane::testing::ReadWholeFile;
using korvane::testing::ReplayedRun;
using korvane::testing::SampleSession;
using korvane::testing::SampleSessionName;
using korvane::testing::SampleSessions;
using korvane::testing::StandinProcess;
using tools::InspectionStatus;

// One upload of a scenario, as the guard joins it: the pieces in sequence order.
struct Upload {
    uint32_t sender = 0;
    std::vector<uint8_t> container;
};

std::vector<Upload> UploadsOf(const tools::Scenario& scenario) {
    struct Piece {
        uint8_t type;
        uint16_t sequence;
        std::vector<uint8_t> bytes;
    };
    std::map<int, std::pair<uint32_t, std::vector<Piece>>> byLine;
    for (const tools::ScenarioEvent& event : scenario.events) {
        if (event.kind != "upload") {
            continue;
        }
        // One message, or with segment options all the line's messages one after the other.
        auto& [sender, pieces] = byLine[event.line];
        std::span<const uint8_t> rest(event.payload);
        while (!rest.empty()) {
            const std::span<const uint8_t> bytes = rest.first(ByteReader(rest).U16(0));
            rest = rest.subspan(bytes.size());
            const ByteReader message(bytes);
            sender = message.U32(SessionMessage::kSenderOffset);
            const std::span<const uint8_t> piece = message.Rest(tools::PieceOffsetOf(bytes));
            pieces.push_back({message.U8(SessionMessage::kTypeOffset),
                              message.U16(SelectionMessage::kSequenceOffset),
                              std::vector<uint8_t>(piece.begin(), piece.end())});
        }
    }
    std::vector<Upload> uploads;
    for (auto& [line, upload] : byLine) {
        auto& [sender, pieces] = upload;
        const auto first = std::find_if(pieces.begin(), pieces.end(), [](const Piece& p) {
            return p.type == tools::kGameTypeFirstPiece;
        });
        EXPECT_NE(first, pieces.end()) << "line " << line;
        const uint16_t start = first == pieces.end() ? 0 : first->sequence;
        std::sort(pieces.begin(), pieces.end(), [start](const Piece& a, const Piece& b) {
            return static_cast<uint16_t>(a.sequence - start) <
                   static_cast<uint16_t>(b.sequence - start);
        });
        Upload joined{sender, {}};
        for (const Piece& piece : pieces) {
            joined.container.insert(joined.container.end(), piece.bytes.begin(), piece.bytes.end());
        }
        uploads.push_back(std::move(joined));
    }
    return uploads;
}

class InspectAgreementTest : public ::testing::TestWithParam<SampleSession> {};

TEST_P(InspectAgreementTest, InspectorCallsIllegalExactlyWhomTheGuardKicked) {
    const std::filesystem::path dir = FreshDirectory("inspect-agreement");
    {
        ReplayedRun run(dir);
        StandinProcess server(run.dir());
        const int port = server.Port();
        ASSERT_GT(port, 0);
        std::string text = GetParam().text();
        const std::string scenarioFile = (run.dir() / "session.scenario").string();
        { std::ofstream(scenarioFile) << text; }
        const tools::ScenarioVariables variables = {{"port", std::to_string(port)}};
        ASSERT_TRUE(run.MakeCaptureFrom(scenarioFile, {{"port", std::to_string(port)}}));
        ASSERT_EQ(run.Replay({"/host:127.0.0.1", "/port:" + std::to_string(port)}), 0)
            << ReadWholeFile(run.dir() / "korvane.out");
        const std::vector<std::string> arrived = Arrived(server.Stop());

        const std::vector<Upload> uploads =
            UploadsOf(tools::ParseScenario(text, scenarioFile, variables));
        ASSERT_FALSE(uploads.empty());
        size_t illegal = 0;
        for (const Upload& upload : uploads) {
            const tools::Inspection seen =
                tools::InspectVariant("upload", upload.container, upload.container.size());
            const std::string farewell =
                StringPrintf("[1] chat 00000001 -> %08x [0]: ", upload.sender);
            const bool kicked =
                std::any_of(arrived.begin(), arrived.end(), [&](const std::string& line) {
                    return line.starts_with(farewell) && line.find("See ya later") != line.npos;
                });
            SCOPED_TRACE(StringPrintf("player %08x: %s %s", upload.sender,
                                      tools::StatusName(seen.status), seen.reason.c_str()));
            EXPECT_NE(seen.status, InspectionStatus::unreadable);
            EXPECT_EQ(kicked, seen.status == InspectionStatus::illegal);
            if (seen.status == InspectionStatus::illegal) {
                ++illegal;
                EXPECT_THAT(arrived, ::testing::Contains(
                                         ArrivedChat(upload.sender, 1, 0, seen.reason, true)));
            }
        }
        // Every session has a legal variant and an illegal one.
        EXPECT_GT(illegal, 0u);
        EXPECT_LT(illegal, uploads.size());
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(ReplayedSessions, InspectAgreementTest,
                         ::testing::ValuesIn(SampleSessions()), SampleSessionName);

}  // namespace
}  // namespace korvane
