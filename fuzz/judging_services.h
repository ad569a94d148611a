#pragma once

#include <filesystem>
#include <fstream>
#include <string_view>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "link/chat_sender.h"
#include "link/kick_message_table.h"
#include "link/player_removal.h"
#include "link/server_link.h"
#include "platform/clock.h"
#include "platform/fake_sockets.h"
#include "platform/null_console.h"
#include "rules/variant_decoder.h"

namespace korvane::fuzz {

// The operator's kick messages the targets load: one plain, one with conversions besides its
// "%s", one empty.
inline constexpr std::string_view kKickMessageFile =
    "# kick messages\n@%s, this server plays by the chassis rules.\n@Bye %s %s %d %n%%\n@\n";

// Writes kKickMessageFile into `directory`; its path.
inline std::filesystem::path WriteKickMessageFile(const std::filesystem::path& directory) {
    const std::filesystem::path path = directory / KickMessageTable::kFileName;
    std::ofstream(path, std::ios::binary) << kKickMessageFile;
    return path;
}

// The parts of the program that judge uploads and talk to the server, over sockets that keep
// nothing, a console that keeps nothing and a manual clock. Made once per fuzz target process:
// the variant decoder's expansion area is a megabyte, and allocating it for every input would
// cost far more than judging the input. Reset() brings everything back to how a run starts, so
// that no input sees what another left; the decoder keeps nothing from one decoding to the next.
struct JudgingServices {
    static constexpr ClockReading kStart{1076424589, 0};

    // Collected variants are written to `workDir`; the kick messages are read from `kickFile`.
    JudgingServices(const std::filesystem::path& workDir, const std::filesystem::path& kickFile)
        : decoder(DecoderServices{settings, log, chat, removal, kicks, clock, workDir}) {
        kicks.LoadKickMessages(kickFile, log);
    }

    // A run with these switches starts: the link down, nothing sent, the clock at the start.
    void Reset(const RunSettings& given) {
        settings = given;
        clock.Set(kStart);
        link.StopSockets();
        sockets = FakeSockets();
        sockets.keepSent = false;
        chat.ForgetLastMessage();
    }

    RunSettings settings;
    ManualClock clock{kStart};
    NullConsole console;
    EventLog log{clock, console};  // never opened: nothing is written to a file
    FakeSockets sockets;
    ServerLink link{sockets, log, settings};
    ChatSender chat{link, log, settings};
    KickMessageTable kicks{clock};
    PlayerRemoval removal{link, chat, log, settings};
    VariantDecoder decoder;
};

}  // namespace korvane::fuzz
