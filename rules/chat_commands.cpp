#include "rules/chat_commands.h"

#include <array>

#include "platform/format.h"
#include "rules/version_line.h"

namespace korvane {

namespace {

enum class Command { commands, time, version, is, clan, mixed, tech };

struct CommandName {
    std::string_view name;
    Command command;
    bool puretechOnly;
};

// In the order a typed word is matched against them.
constexpr std::array<CommandName, 7> kCommandNames = {{
    {"commands", Command::commands, false},
    {"time", Command::time, false},
    {"version", Command::version, false},
    {"is", Command::is, true},
    {"clan", Command::clan, true},
    {"mixed", Command::mixed, true},
    {"tech", Command::tech, true},
}};

// The word is the beginning of the name, compared over the word's length.
bool Names(std::string_view word, std::string_view name) {
    return word.size() <= name.size() && name.substr(0, word.size()) == word;
}

}  // namespace

void ChatCommands::HandleChatText(PlayerRecord& record, uint32_t sender, std::string_view text) {
    chat_.ForgetLastMessage();
    if (text.starts_with('~')) {
        HandleChatCommand(record, sender, text.substr(1));
    }
}

void ChatCommands::HandleChatCommand(PlayerRecord& record, uint32_t sender, std::string_view word) {
    for (const CommandName& entry : kCommandNames) {
        if (entry.puretechOnly && !settings_.puretech) {
            continue;
        }
        if (!Names(word, entry.name)) {
            continue;
        }
        const LogPlayer player = record.ForLog();
        const std::string command = "~" + std::string(entry.name);
        const EventField fields[] = {TextField("command", command)};
        log_.Record({EventKind::commandAnswered, &player, fields});
        switch (entry.command) {
            case Command::commands:
                chat_.SendReply(sender, "~version, ~time, ~commands");
                if (settings_.puretech) {
                    chat_.SendReply(sender, "~tech, ~clan, ~is, ~mixed");
                }
                return;
            case Command::time:
                announceTime_();
                return;
            case Command::version:
                chat_.SendNotice(record.playerId, kVersionLine);
                return;
            case Command::is:
                ReportPureTech(sender, kTechIS);
                return;
            case Command::clan:
                ReportPureTech(sender, kTechClan);
                return;
            case Command::mixed:
                ReportPureTech(sender, kTechMixed);
                return;
            case Command::tech:
                ReportPureTech(sender, kTechIS);
                ReportPureTech(sender, kTechClan);
                ReportPureTech(sender, kTechMixed);
                return;
        }
    }
}

void ChatCommands::ReportPureTech(uint32_t requester, TechBase wanted) {
    bool violation = false;
    size_t listed = 0;
    players_.records().ForEach([&](const PlayerRecord& record) {
        const uint32_t combined = record.chassisTech | record.componentTech;
        if (combined != wanted || !record.Trusted()) {
            return;
        }
        violation = violation || combined == kTechMixed;
        if (++listed > kMaxReportLines) {
            return;
        }
        std::string_view weapons = TechBaseNames[record.componentTech & kTechMixed];
        const char* verdict = "Valid";
        if (combined == kTechMixed) {
            verdict = "Violation";
            if (record.chassisTech == kTechIS && record.componentTech == kTechClan) {
                weapons = "IIC Config";  // an IS chassis carrying Clan weapons only
            }
        }
        chat_.SendReply(requester, StringPrintf("%s: %s: %.*s", verdict, record.name.c_str(),
                                                static_cast<int>(weapons.size()), weapons.data()));
    });
    if (listed > kMaxReportLines) {
        chat_.SendReply(requester, StringPrintf("...and %zu more", listed - kMaxReportLines));
    }
    if (wanted == kTechMixed && !violation) {
        chat_.SendReply(requester, "No puretech violations");
    }
}

}  // namespace korvane
