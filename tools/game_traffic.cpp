#include "tools/game_traffic.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/format.h"
#include "tools/variant_builder.h"

namespace korvane::tools {

namespace {

constexpr uint64_t kMicrosPerSecond = 1'000'000;
constexpr uint64_t kSegmentGapMicros = 1'000;  // between the segments of a split or an upload
// A player who left comes back no sooner than this: a live capture reads far fewer frames
// than that in one batch, so leaving and coming back are never swept in the same pass.
constexpr uint64_t kAwayMicros = 20 * kMicrosPerSecond;
constexpr uint32_t kHost = 1;

// Chassis as the game's variants name them, with the subsystems each may carry and one it may
// not, and the selection id of its stock mech.
struct Chassis {
    uint32_t variantId;
    uint32_t stockId;
    std::array<uint16_t, 2> allowed;
    uint16_t forbidden;
    bool clan;
};
constexpr std::array<Chassis, 6> kChassis = {{
    {0x03be0001, 0x03c10001, {813, 816}, 815, false},  // Atlas: ECM, LAMS; no jump jets
    {0x04260001, 0x04290001, {812, 808}, 813, true},   // Mad Cat: BAP, optics; no ECM
    {0x03ce0001, 0x03d10001, {815, 813}, 808, false},  // Black Knight: jump jets, ECM; no optics
    {0x047e0001, 0x04810001, {815, 808}, 812, true},   // Thor: jump jets, optics; no BAP
    {0x04ae0001, 0x04b10001, {816, 813}, 809, false},  // Wolfhound: LAMS, ECM; no gyro
    {0x046e0001, 0x04710001, {812, 816}, 813, true},   // Shadow Cat: BAP, LAMS; no ECM
}};
constexpr std::array<uint16_t, 8> kInnerSphereWeapons = {888, 889, 853, 876, 902, 868, 838, 892};
constexpr std::array<uint16_t, 6> kClanWeapons = {885, 886, 871, 852, 891, 834};

constexpr std::array<std::string_view, 24> kNames = {
    "Wolfhound", "Kit Fox", "Jumper",   "Nova",    "Mira",       "Brawler",   "Cy",    "Ghost Bear",
    "Viper",     "Smoke",   "Hatchet",  "Lancer",  "Star Adder", "Tamsin",    "Odin",  "Red Five",
    "Falcon",    "Grizzly", "Ironside", "Kestrel", "Marlow",     "Nighthawk", "Quill", "Zed"};
constexpr std::array<std::string_view, 8> kInfoTexts = {
    "Lone wolf",   "Clan Wolf",     "Star captain", "Sky high",
    "Atlas pilot", "Davion Guards", "Smoke Jaguar", "Merc unit"};
constexpr std::array<std::string_view, 12> kChatTexts = {"hello everyone",
                                                         "gg",
                                                         "anyone for a game on the moon?",
                                                         "lag",
                                                         "brb",
                                                         "nice shot",
                                                         "which map next?",
                                                         "ready",
                                                         "wait for me",
                                                         "team 2 please",
                                                         "gl hf",
                                                         "that was close"};
constexpr std::array<std::string_view, 5> kCommands = {"~time", "~commands", "~tech", "~version",
                                                       "~is"};

class Generator {
  public:
    Generator(const GameTrafficPlan& plan, std::ostream& out)
        : plan_(plan), out_(out), random_(plan.seed), slots_(static_cast<size_t>(plan.players)) {
        for (size_t i = 0; i < slots_.size(); ++i) {
            slots_[i].address = 0x7F000002 + static_cast<uint32_t>(i);
            // Everyone joins within the first few seconds.
            slots_[i].backAt = plan.startMicros + i * 150'000;
        }
        now_ = plan.startMicros;
    }

    size_t Run() {
        out_ << "# A game session of " << plan_.players << " players made by korvane-traffic, seed "
             << plan_.seed << "\n";
        while (frames_ < plan_.frames) {
            Slot& slot = slots_[Pick(slots_.size())];
            if (!slot.queued.empty()) {
                Emit(slot, slot.queued.front());
                slot.queued.pop_front();
            } else if (!slot.present) {
                if (now_ >= slot.backAt) {
                    Join(slot);
                }
            } else {
                Play(slot);
            }
            now_ += Pick(2 * kMicrosPerSecond / plan_.framesPerSecond + 1);
        }
        return frames_;
    }

  private:
    struct Slot {
        uint32_t address = 0;
        uint16_t port = 0;
        uint32_t id = 0;
        bool present = false;
        uint64_t backAt = 0;
        uint16_t sequence = 0;           // of the next upload
        std::deque<std::string> queued;  // what the player sends next, in order
    };
    struct Line {
        std::string text;  // after the endpoints
        size_t frames = 1;
        uint64_t spanMicros = 0;  // from the first frame to the last
    };

    uint64_t Pick(uint64_t n) { return n == 0 ? 0 : random_() % n; }

    std::string Endpoints(uint32_t fromAddress, uint16_t fromPort, uint32_t toAddress,
                          uint16_t toPort) const {
        return DottedText(fromAddress) + ":" + std::to_string(fromPort) + " > " +
               DottedText(toAddress) + ":" + std::to_string(toPort);
    }
    static std::string DottedText(uint32_t address) {
        return StringPrintf("%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                            (address >> 8) & 0xFF, address & 0xFF);
    }
    std::string ToServer(const Slot& slot) const {
        return Endpoints(slot.address, slot.port, plan_.server.address, plan_.server.port);
    }
    std::string Hex(size_t bytes) {
        static constexpr std::string_view kDigits = "0123456789abcdef";
        std::string text;
        text.reserve(2 * bytes);
        for (size_t i = 0; i < bytes; ++i) {
            const uint64_t value = random_();
            text += kDigits[value & 0xF];
            text += kDigits[(value >> 4) & 0xF];
        }
        return text;
    }

    void Write(const std::string& endpoints, const Line& line) {
        out_ << StringPrintf("at %llu.%06u ",
                             static_cast<unsigned long long>(now_ / kMicrosPerSecond),
                             static_cast<unsigned>(now_ % kMicrosPerSecond))
             << endpoints << " " << line.text << "\n";
        frames_ += line.frames;
        now_ += line.spanMicros;
    }

    // A line of one frame to the server.
    void Emit(const Slot& slot, const std::string& text) { Write(ToServer(slot), Line{text}); }

    void Join(Slot& slot) {
        slot.present = true;
        slot.port = static_cast<uint16_t>(49152 + Pick(16384));
        slot.id = static_cast<uint32_t>(0x00100000 + Pick(0x0FF00000));
        if ((slot.id & 0xFFFF) <= kHost) {
            slot.id += 2;  // a receiver whose low half is 1 would be the host
        }
        const std::string id = StringPrintf("%x", slot.id);
        Emit(slot, "syn");
        slot.queued.push_back("connect id=" + id);
        slot.queued.push_back("create id=" + id +
                              " name=" + std::string(kNames[Pick(kNames.size())]));
        slot.queued.push_back("info sender=" + id +
                              " text=" + std::string(kInfoTexts[Pick(kInfoTexts.size())]));
    }

    void Leave(Slot& slot, uint64_t awayMicros) {
        slot.queued.push_back(StringPrintf("delete id=%x", slot.id));
        slot.present = false;
        slot.backAt = now_ + awayMicros;
    }

    // One thing a player in the game does.
    void Play(Slot& slot) {
        const std::string id = StringPrintf("%x", slot.id);
        const uint64_t roll = Pick(10000);
        if (roll < 6000) {
            // Game traffic to another player, relayed by the server.
            const Slot& other = slots_[Pick(slots_.size())];
            Emit(slot,
                 StringPrintf("game sender=%x receiver=%x type=%u hex=", slot.id,
                              other.id == 0 ? 2u : other.id, static_cast<unsigned>(1 + Pick(3))) +
                     Hex(16 + Pick(160)));
        } else if (roll < 6600) {
            // Game messages to the host that the guard has no business with.
            Emit(slot, "game sender=" + id + " receiver=1 type=" + std::to_string(20 + Pick(5)) +
                           " hex=" + Hex(8 + Pick(60)));
        } else if (roll < 8900) {
            // The server answers from its port.
            Write(Endpoints(plan_.server.address, plan_.server.port, slot.address, slot.port),
                  Line{StringPrintf("game sender=%x receiver=%x type=2 hex=", kHost, slot.id) +
                       Hex(20 + Pick(200))});
        } else if (roll < 9300) {
            // Another port of the server.
            const uint16_t port = roll < 9100 ? static_cast<uint16_t>(plan_.server.port + 1) : 80;
            Write(Endpoints(slot.address, slot.port, plan_.server.address, port),
                  Line{"raw hex=" + Hex(40 + Pick(100))});
        } else if (roll < 9850) {
            Chat(slot, id, std::string(kChatTexts[Pick(kChatTexts.size())]));
        } else if (roll < 9870) {
            Chat(slot, id, std::string(kCommands[Pick(kCommands.size())]));
        } else if (roll < 9900) {
            Emit(slot,
                 "info sender=" + id + " text=" + std::string(kInfoTexts[Pick(kInfoTexts.size())]));
        } else if (roll < 9950) {
            const Chassis& chassis = kChassis[Pick(kChassis.size())];
            // Now and then a selection the catalogue does not know.
            Emit(slot, StringPrintf("stock sender=%x chassis=%x", slot.id,
                                    Pick(20) == 0 ? 0x0bad0001u : chassis.stockId));
        } else if (roll < 9998) {
            Upload(slot);
        } else {
            Leave(slot, kAwayMicros + Pick(60 * kMicrosPerSecond));
        }
    }

    void Chat(const Slot& slot, const std::string& id, const std::string& text) {
        std::string line = "chat sender=" + id + " receiver=1 ";
        const uint64_t how = Pick(20);
        if (how == 0) {
            line += "split=" + std::to_string(10 + Pick(20)) + " ";
        } else if (how == 1) {
            line += "split=" + std::to_string(10 + Pick(20)) + " reverse ";
        }
        const bool split = how < 2;
        Write(ToServer(slot),
              Line{line + "text=" + text, split ? 2u : 1u, split ? kSegmentGapMicros : 0});
    }

    void Upload(Slot& slot) {
        const Chassis& chassis = kChassis[Pick(kChassis.size())];
        const bool illegal = Pick(16) == 0;
        VariantSpec variant;
        variant.chassisId = chassis.variantId;
        std::string components;
        auto add = [&](uint16_t component, int16_t length) {
            variant.components.push_back({component, length});
            components += (components.empty() ? "" : ",") + std::to_string(component) + ":" +
                          std::to_string(length);
        };
        add(chassis.allowed[Pick(2)], 112);
        if (illegal) {
            add(chassis.forbidden, 112);
        }
        const size_t weapons = 3 + Pick(8);
        const bool mixed = Pick(10) == 0;
        for (size_t i = 0; i < weapons; ++i) {
            const bool clan = mixed ? Pick(2) == 0 : chassis.clan;
            add(clan ? kClanWeapons[Pick(kClanWeapons.size())]
                     : kInnerSphereWeapons[Pick(kInnerSphereWeapons.size())],
                Pick(2) == 0 ? 376 : 236);
        }
        variant.name = std::string(kNames[Pick(kNames.size())]) + " " + std::to_string(Pick(100));
        const std::vector<uint8_t> container = BuildVariant(variant);

        const size_t pieces = std::max<size_t>(2, (container.size() + 999) / 1000) + Pick(2);
        const std::vector<std::vector<uint8_t>> messages =
            UploadMessages(slot.id, slot.sequence, container, 0, pieces);
        std::string line = StringPrintf(
            "upload sender=%x seq=%u chassis=%x components=%s pieces=%zu", slot.id,
            static_cast<unsigned>(slot.sequence), chassis.variantId, components.c_str(), pieces);
        slot.sequence = static_cast<uint16_t>(slot.sequence + pieces + Pick(3));
        const uint64_t how = Pick(8);
        size_t split = 0;
        if (how == 0) {
            split = 100 + Pick(400);
            line += " split=" + std::to_string(split);
        } else if (how == 1) {
            line += " tsopt";
        } else if (how == 2 && pieces > 2) {
            // The last piece before the middle ones.
            line += " order=0," + std::to_string(pieces - 1);
            for (size_t i = 1; i + 1 < pieces; ++i) {
                line += "," + std::to_string(i);
            }
        }
        Line upload{line + " name=" + variant.name, 0, 0};
        for (const auto& message : messages) {
            upload.frames += split != 0 && message.size() > split ? 2 : 1;
        }
        const uint64_t gap = split != 0 ? 2 * kSegmentGapMicros : kSegmentGapMicros;
        upload.spanMicros = (messages.size() - 1) * gap +
                            (split != 0 && messages.back().size() > split ? kSegmentGapMicros : 0);
        Write(ToServer(slot), upload);
        if (illegal) {
            // Kicked: the player leaves before the grace time is out.
            slot.queued.push_back(StringPrintf("chat sender=%x receiver=1 text=what?", slot.id));
            Leave(slot, kAwayMicros + Pick(20 * kMicrosPerSecond));
        }
    }

    const GameTrafficPlan& plan_;
    std::ostream& out_;
    std::mt19937_64 random_;
    std::vector<Slot> slots_;
    uint64_t now_ = 0;
    size_t frames_ = 0;
};

}  // namespace

size_t WriteGameTraffic(const GameTrafficPlan& plan, std::ostream& out) {
    if (plan.players < 1 || plan.players > 200) {
        throw std::invalid_argument("players must be 1 to 200");
    }
    if (plan.framesPerSecond == 0) {
        throw std::invalid_argument("frames per second must be at least 1");
    }
    return Generator(plan, out).Run();
}

}  // namespace korvane::tools
