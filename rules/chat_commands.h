#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <utility>

#include "app/event_log.h"
#include "app/run_settings.h"
#include "capture/player_record.h"
#include "capture/player_table.h"
#include "link/chat_sender.h"
#include "rules/tech_base.h"

namespace korvane {

// Answers the chat lines players begin with a tilde: "~commands", "~time", "~version", and with
// "/puretech" the tech reports "~is", "~clan", "~mixed" and "~tech". Every answer is built from
// the player table at the moment it is asked for; nothing is kept between commands.
class ChatCommands {
  public:
    // Tells the time in chat and on the console.
    using AnnounceTime = std::function<void()>;

    ChatCommands(const RunSettings& settings, ChatSender& chat, const PlayerTable& players,
                 EventLog& log, AnnounceTime announceTime)
        : settings_(settings),
          chat_(chat),
          players_(players),
          log_(log),
          announceTime_(std::move(announceTime)) {}

    // Every chat text a player sends the host. Each one lets the next line go out even if it
    // repeats the last; one that begins with "~" is a command.
    void HandleChatText(PlayerRecord& record, uint32_t sender, std::string_view text);

    // The word after the tilde. It names the first command, in the order of the list above,
    // that begins with it: "~" alone and "~c" are "~commands", "~cl" is "~clan", "~t" is
    // "~time", "~te" is "~tech". Case counts, and a word longer than every name it starts like
    // ("~times") names none. A word that names no command, or a tech report without
    // "/puretech", is not answered.
    void HandleChatCommand(PlayerRecord& record, uint32_t sender, std::string_view word);

    // Lists to the requester, newest player first, every player whose chassis and weapons
    // together are of the `wanted` tech base: "Valid: <name>: <weapons' tech>" for IS or Clan,
    // "Violation: ..." for Mixed, then "No puretech violations" when Mixed was asked for and
    // nobody mixes. One chat line from anybody must not make the guard flood the server, so a
    // report names at most kMaxReportLines players and then says "...and <n> more".
    void ReportPureTech(uint32_t requester, TechBase wanted);

    static constexpr size_t kMaxReportLines = 64;

  private:
    const RunSettings& settings_;
    ChatSender& chat_;
    const PlayerTable& players_;
    EventLog& log_;
    AnnounceTime announceTime_;
};

}  // namespace korvane
