#include "capture/player_table.h"

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "capture/idle_timer.h"
#include "capture/player_record.h"
#include "platform/clock.h"

namespace korvane {
namespace {

using Address = std::array<uint8_t, 4>;

constexpr int64_t kStart = 1'000'000;

class PlayerTableTest : public ::testing::Test {
  protected:
    PlayerTableTest() : clock_({kStart, 0}), table_(clock_) {}

    // Every record given, kicked with its timer already run out, so that the next sweep calls
    // the hook for it and the hook's log shows the order of visits.
    void KickAndExpire(const std::vector<PlayerRecord*>& records) {
        for (PlayerRecord* r : records) {
            r->kickPending = true;
            r->idleTimer.Set(5);
        }
        clock_.SetSeconds(clock_.Now().seconds + 6);
    }
    void LogVisits() {
        table_.SetDisconnect([this](PlayerRecord& r) { visits_.push_back(r.playerId); });
    }

    ManualClock clock_;
    PlayerTable table_;
    std::vector<uint32_t> visits_;
};

TEST(AddressKey, PrintsUnsignedBytesInWireOrder) {
    EXPECT_EQ(AddressKey(Address{0xC0, 0xA8, 0x00, 0x0A}), "192.168.0.10");
    EXPECT_EQ(AddressKey(Address{0x0A, 0x00, 0x00, 0x05}), "10.0.0.5");
    EXPECT_EQ(AddressKey(Address{0xFF, 0x80, 0x7F, 0x00}), "255.128.127.0");
}

TEST(KeyHash, ShiftsAndXorsEachCharacterIn32Bits) {
    // "10.0.0.5": '1'=31 '0'=30 '.'=2E '5'=35
    //   31 -> 188^30=1B8 -> DC0^2E=DEE -> 6F70^30=6F40 -> 37A00^2E=37A2E
    //   -> 1BD170^30=1BD140 -> DE8A00^2E=DE8A2E -> 6F45170^35=6F45145 = 116674885
    EXPECT_EQ(KeyHash("10.0.0.5"), 0x06F45145u);
    // "192.168.0.10" passes 32 bits: after "192.168.0." the hash is 1B7E39A2E, kept as B7E39A2E;
    //   <<3 = 5BF1CD170 (BF1CD170) ^31 = BF1CD141; <<3 = 5F8E68A08 (F8E68A08) ^30 = F8E68A38.
    EXPECT_EQ(KeyHash("192.168.0.10"), 0xF8E68A38u);
    EXPECT_EQ(KeyHash(""), 0u);
}

TEST(KeyHash, OfAnAddressIsThatOfItsKeyText) {
    // Every byte value in every place, with one, two and three digits beside it.
    for (unsigned place = 0; place < 4; ++place) {
        for (unsigned value = 0; value < 256; ++value) {
            Address address{7, 42, 199, static_cast<uint8_t>(255 - value)};
            address[place] = static_cast<uint8_t>(value);
            ASSERT_EQ(AddressKeyHash(address), KeyHash(AddressKey(address))) << AddressKey(address);
        }
    }
}

// Against a plain map, in tables small enough that entries crowd, wrap round the end and are
// taken out from the middle of runs: every connection is found exactly while it is in.
TEST(ConnectionIndex, FindsWhatIsInAfterAnyInsertsAndErasures) {
    for (uint64_t seed : {0ull, 1ull, 0x9E3779B97F4A7C15ull}) {
        ConnectionIndex index(SeededConnectionHash{seed});
        std::map<uint64_t, PlayerSlot*> model;
        std::vector<PlayerSlot> slots(64);
        std::mt19937 random(static_cast<uint32_t>(seed));
        for (int step = 0; step < 4000; ++step) {
            const uint64_t connection = random() % 48;
            if (model.contains(connection)) {
                index.Erase(connection);
                model.erase(connection);
            } else {
                index.Insert(connection, &slots[connection]);
                model[connection] = &slots[connection];
            }
            ASSERT_EQ(index.size(), model.size());
            for (uint64_t c = 0; c < 48; ++c) {
                const auto found = model.find(c);
                ASSERT_EQ(index.Find(c), found == model.end() ? nullptr : found->second)
                    << "seed " << seed << ", step " << step << ", connection " << c;
            }
        }
        index.Erase(1000);  // not in: nothing happens
        EXPECT_EQ(index.size(), model.size());
    }
}

TEST(IdleTimer, ExpiresOnlyAfterTheWholeDuration) {
    ManualClock clock({kStart, 0});
    IdleTimer timer(clock, 7800);
    EXPECT_EQ(timer.start(), kStart);
    clock.Set({kStart + 7800, 999'999});  // only whole seconds count
    EXPECT_FALSE(timer.Expired());
    clock.SetSeconds(kStart + 7801);
    EXPECT_TRUE(timer.Expired());

    timer.Restart();
    EXPECT_EQ(timer.start(), kStart + 7801);
    EXPECT_EQ(timer.duration(), 7800);
    EXPECT_FALSE(timer.Expired());

    timer.Set(5);
    clock.SetSeconds(kStart + 7806);
    EXPECT_FALSE(timer.Expired());
    clock.SetSeconds(kStart + 7807);
    EXPECT_TRUE(timer.Expired());
}

TEST_F(PlayerTableTest, BucketIsHashModuloTen) {
    EXPECT_EQ(table_.BucketOf("10.0.0.5"), 5u);      // 116674885
    EXPECT_EQ(table_.BucketOf("192.168.0.10"), 2u);  // 4175858232
    EXPECT_EQ(table_.BucketOf("1.2.3.4"), 8u);       // D07184 = 13660548
}

TEST_F(PlayerTableTest, AddressesSharingABucketAreFoundApart) {
    // 10.0.0.23 hashes to 37A28A23 = 933399075, bucket 5 like 10.0.0.5; 1.2.3.40 hashes to
    // 6838C10 = 109284368, bucket 8 like 1.2.3.4, whose key is a prefix of its own.
    const std::vector<Address> addresses = {
        {10, 0, 0, 5}, {10, 0, 0, 23}, {1, 2, 3, 4}, {1, 2, 3, 40}};
    ASSERT_EQ(table_.BucketOf("10.0.0.23"), table_.BucketOf("10.0.0.5"));
    ASSERT_EQ(table_.BucketOf("1.2.3.40"), table_.BucketOf("1.2.3.4"));
    std::vector<PlayerRecord*> made;
    for (size_t i = 0; i < addresses.size(); ++i) {
        made.push_back(&table_.GetPlayerWithId(static_cast<uint32_t>(i + 1), addresses[i]));
    }
    EXPECT_EQ(table_.count(), 4u);
    for (size_t i = 0; i < addresses.size(); ++i) {
        EXPECT_EQ(&table_.GetPlayer(addresses[i]), made[i]) << AddressKey(addresses[i]);
        EXPECT_EQ(table_.Find(AddressKey(addresses[i])), made[i]);
        EXPECT_EQ(made[i]->playerId, i + 1);
        EXPECT_EQ(made[i]->ipAddress, addresses[i]);
    }
    EXPECT_EQ(table_.count(), 4u);
    EXPECT_EQ(table_.Find("10.0.0.2"), nullptr);
    EXPECT_EQ(table_.Newest(), made.back());
}

TEST_F(PlayerTableTest, CreationGivesStartValues) {
    PlayerRecord& plain = table_.GetPlayer(Address{0xC0, 0xA8, 0x00, 0x0A});
    EXPECT_EQ(plain.playerId, 0u);
    EXPECT_EQ(plain.name.view(), "00000000");
    EXPECT_EQ(plain.addressKey.view(), "192.168.0.10");
    EXPECT_EQ(plain.nameWide.view(), u"Unknown");
    EXPECT_EQ(plain.infoText.view(), "Unknown");
    EXPECT_EQ(plain.chassisName.view(), "Unknown");
    EXPECT_EQ(plain.variantName.view(), "Unknown");
    EXPECT_TRUE(plain.active);
    EXPECT_FALSE(plain.kickPending);
    EXPECT_FALSE(plain.fragmentPending);
    EXPECT_FALSE(plain.greeted);
    EXPECT_EQ(plain.chassisIndex, -1);
    EXPECT_EQ(plain.selectionSequence, 0);
    EXPECT_TRUE(plain.configPart1.empty() && plain.configPart2.empty());
    EXPECT_FALSE(plain.stream.HoldsPart());
    EXPECT_EQ(plain.idleTimer.duration(), 7800);
    EXPECT_EQ(plain.idleTimer.start(), kStart);

    // The large configuration buffer exists only once a decoding asks for it.
    EXPECT_EQ(plain.configData.get(), nullptr);
    PlayerRecord::ConfigData& data = plain.EnsureConfigData();
    ASSERT_NE(plain.configData.get(), nullptr);
    EXPECT_EQ(&plain.EnsureConfigData(), &data);

    PlayerRecord& withId = table_.GetPlayerWithId(42, Address{10, 0, 0, 5});
    EXPECT_EQ(withId.playerId, 42u);
    EXPECT_EQ(withId.name.view(), "0000002a");
    EXPECT_EQ(withId.configData.get(), nullptr);
}

TEST_F(PlayerTableTest, LaterLookupsKeepTheRecordAndItsName) {
    const Address a{0xC0, 0xA8, 0x00, 0x0A};
    PlayerRecord& record = table_.GetPlayerWithId(42, a);
    EXPECT_EQ(&table_.GetPlayerWithId(7, a), &record);
    EXPECT_EQ(record.playerId, 7u);
    EXPECT_EQ(record.name.view(), "0000002a");
    EXPECT_EQ(&table_.GetPlayer(a), &record);
    EXPECT_EQ(record.playerId, 7u);
    EXPECT_EQ(table_.count(), 1u);
}

TEST_F(PlayerTableTest, LookupRestartsTheTimerUnlessKicked) {
    const Address a{10, 0, 0, 5};
    PlayerRecord& record = table_.GetPlayer(a);
    clock_.SetSeconds(kStart + 5000);
    table_.GetPlayerWithId(3, a);
    EXPECT_EQ(record.idleTimer.start(), kStart + 5000);
    clock_.SetSeconds(kStart + 7801);
    table_.SweepPlayers();
    EXPECT_TRUE(record.active);

    record.kickPending = true;
    record.idleTimer.Set(5);  // at kStart + 7801
    clock_.SetSeconds(kStart + 7805);
    table_.GetPlayer(a);
    table_.GetPlayerWithId(3, a);
    EXPECT_EQ(record.idleTimer.start(), kStart + 7801);
    EXPECT_EQ(record.idleTimer.duration(), 5);
    LogVisits();
    table_.SweepPlayers();
    EXPECT_TRUE(visits_.empty());
    clock_.SetSeconds(kStart + 7807);  // the traffic at +7805 did not hold the removal off
    table_.SweepPlayers();
    EXPECT_EQ(visits_, (std::vector<uint32_t>{3}));
}

TEST_F(PlayerTableTest, IdleRecordIsRetiredThenDestroyed) {
    table_.GetPlayer(Address{10, 0, 0, 5});
    clock_.SetSeconds(kStart + 7800);
    table_.SweepPlayers();
    ASSERT_NE(table_.Find("10.0.0.5"), nullptr);
    EXPECT_TRUE(table_.Find("10.0.0.5")->active);

    clock_.SetSeconds(kStart + 7801);
    table_.SweepPlayers();
    ASSERT_NE(table_.Find("10.0.0.5"), nullptr);
    EXPECT_FALSE(table_.Find("10.0.0.5")->active);
    EXPECT_EQ(table_.count(), 1u);

    table_.SweepPlayers();
    EXPECT_EQ(table_.Find("10.0.0.5"), nullptr);
    EXPECT_EQ(table_.count(), 0u);
    EXPECT_EQ(table_.Newest(), nullptr);
}

TEST_F(PlayerTableTest, InactiveRecordIsStillFoundUntilTheSweep) {
    const Address a{10, 0, 0, 5};
    PlayerRecord& record = table_.GetPlayerWithId(9, a);
    record.active = false;  // as after a player-deletion command
    EXPECT_EQ(&table_.GetPlayerWithId(11, a), &record);
    EXPECT_EQ(&table_.GetPlayer(a), &record);
    EXPECT_FALSE(record.active);
    EXPECT_EQ(record.playerId, 11u);

    table_.SweepPlayers();
    EXPECT_EQ(table_.count(), 0u);
    PlayerRecord& fresh = table_.GetPlayer(a);
    EXPECT_TRUE(fresh.active);
    EXPECT_EQ(fresh.playerId, 0u);
    EXPECT_EQ(table_.count(), 1u);
}

TEST_F(PlayerTableTest, SweepVisitsNewestFirstAndSurvivesDestruction) {
    std::vector<PlayerRecord*> r;
    for (uint8_t i = 1; i <= 7; ++i) {
        r.push_back(&table_.GetPlayerWithId(i, Address{10, 0, 1, i}));
    }
    // The walk runs 7..1: destroy the first visited (7), a run in the middle (5, 4, 3) and
    // the last visited (1); the others are kicked so that the hook shows they were visited.
    KickAndExpire({r[5], r[1]});
    for (int i : {6, 4, 3, 2, 0}) {
        r[static_cast<size_t>(i)]->active = false;
    }
    LogVisits();
    table_.SweepPlayers();
    EXPECT_EQ(visits_, (std::vector<uint32_t>{6, 2}));
    EXPECT_EQ(table_.count(), 2u);
    for (int i : {1, 3, 4, 5, 7}) {
        EXPECT_EQ(table_.Find("10.0.1." + std::to_string(i)), nullptr) << i;
    }
    EXPECT_EQ(table_.Newest(), r[5]);

    std::vector<uint32_t> order;
    table_.records().ForEach([&](PlayerRecord& p) { order.push_back(p.playerId); });
    EXPECT_EQ(order, (std::vector<uint32_t>{6, 2}));
}

TEST_F(PlayerTableTest, KickedRecordCallsTheHookUntilItClearsActive) {
    PlayerRecord& a = table_.GetPlayerWithId(1, Address{10, 0, 0, 1});
    PlayerRecord& b = table_.GetPlayerWithId(2, Address{10, 0, 0, 2});
    PlayerRecord& c = table_.GetPlayerWithId(3, Address{10, 0, 0, 3});
    KickAndExpire({&a, &b, &c});
    int failures = 2;  // the first two removals of player 2 cannot be sent
    table_.SetDisconnect([&](PlayerRecord& r) {
        visits_.push_back(r.playerId);
        if (r.playerId != 2 || failures-- == 0) {
            r.active = false;
        }
    });
    table_.SweepPlayers();
    EXPECT_EQ(visits_, (std::vector<uint32_t>{3, 2, 1}));
    EXPECT_EQ(table_.count(), 3u);
    table_.SweepPlayers();
    EXPECT_EQ(visits_, (std::vector<uint32_t>{3, 2, 1, 2}));
    EXPECT_EQ(table_.count(), 1u);
    table_.SweepPlayers();
    EXPECT_EQ(visits_, (std::vector<uint32_t>{3, 2, 1, 2, 2}));
    EXPECT_FALSE(b.active);
    table_.SweepPlayers();
    EXPECT_EQ(visits_.size(), 5u);
    EXPECT_EQ(table_.count(), 0u);
}

TEST_F(PlayerTableTest, KickedRecordWithoutHookStaysAndIsNotRestarted) {
    PlayerRecord& r = table_.GetPlayer(Address{10, 0, 0, 1});
    PlayerRecord& idle = table_.GetPlayer(Address{10, 0, 0, 2});
    idle.idleTimer.Set(1);
    KickAndExpire({&r});
    table_.SweepPlayers();
    table_.SweepPlayers();
    EXPECT_TRUE(r.active);
    EXPECT_EQ(table_.count(), 1u);
    EXPECT_EQ(table_.Newest(), &r);
}

TEST_F(PlayerTableTest, FindTakesOnlyTheExactKeyOfAnAddress) {
    table_.GetPlayer(Address{10, 0, 0, 5});
    EXPECT_NE(table_.Find("10.0.0.5"), nullptr);
    for (const char* key : {"010.0.0.5", "10.0.0.5 ", "10.0.0", "10.0.0.5.1", "10.0.0.256",
                            "10.0.0.-5", "", "10..0.5"}) {
        EXPECT_EQ(table_.Find(key), nullptr) << key;
    }
}

TEST_F(PlayerTableTest, IdleRecordsAreRetiredInTheOrderTheyFellSilent) {
    PlayerRecord& a = table_.GetPlayer(Address{10, 0, 0, 1});
    clock_.SetSeconds(kStart + 100);
    PlayerRecord& b = table_.GetPlayer(Address{10, 0, 0, 2});
    table_.GetPlayer(Address{10, 0, 0, 3});
    clock_.SetSeconds(kStart + 200);
    table_.GetPlayer(Address{10, 0, 0, 1});  // a speaks again: now b and c are the most silent
    table_.SweepPlayers();
    clock_.SetSeconds(kStart + 7901);
    table_.SweepPlayers();
    EXPECT_TRUE(a.active);
    EXPECT_FALSE(b.active);
    table_.SweepPlayers();
    EXPECT_EQ(table_.count(), 1u);
    clock_.SetSeconds(kStart + 8001);
    table_.SweepPlayers();
    table_.SweepPlayers();
    EXPECT_EQ(table_.count(), 0u);
}

// A table of at most three records, fed frames from the addresses 127.0.0.n.
class BoundedTableTest : public ::testing::Test {
  protected:
    static constexpr size_t kHeld = 4096;

    BoundedTableTest() : clock_({kStart, 0}), table_(clock_, {3, 2 * kHeld}) {}

    PlayerRecord& From(uint8_t n) { return table_.GetPlayerWithId(n, Address{127, 0, 0, n}); }
    std::vector<uint32_t> Followed() const {
        std::vector<uint32_t> ids;
        table_.records().ForEach([&](const PlayerRecord& r) { ids.push_back(r.playerId); });
        return ids;
    }
    void Hold(PlayerRecord& record) { record.configPart2.assign(kHeld, 0); }

    ManualClock clock_;
    PlayerTable table_;
};

TEST_F(BoundedTableTest, FullTableDropsTheLongestSilentAddressSeenOnlyOnceFirst) {
    From(1);
    From(2);
    From(1);  // seen twice
    From(3);
    From(4);  // drops 2, the only other address seen once besides 3, and the more silent
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{4, 3, 1}));
    From(5);
    From(6);
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{6, 5, 1}));
    EXPECT_EQ(table_.droppedRecords(), 3u);
    table_.SweepPlayers();  // records dropped while listed for the sweep are passed over
    EXPECT_EQ(table_.count(), 3u);
}

TEST_F(BoundedTableTest, AnAddressThatKeepsSendingOutlastsAFlood) {
    From(1);
    for (uint8_t n = 2; n < 200; ++n) {
        From(n);
        From(n);  // every flooding address seen twice as well
        From(1);
        table_.SweepPlayers();
    }
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{199, 198, 1}));
    EXPECT_EQ(table_.droppedRecords(), 196u);
}

TEST_F(BoundedTableTest, KickedRecordGoesOnlyWhenNothingElseIsLeft) {
    PlayerRecord& cheat = From(1);
    cheat.kickPending = true;
    cheat.idleTimer.Set(5);
    table_.SweepPlayers();
    From(2);
    From(3);
    From(4);
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{4, 3, 1}));
}

TEST_F(BoundedTableTest, HeldBytesOverTheBoundDropTheLongestSilentHolder) {
    Hold(From(1));
    Hold(From(2));
    From(3);  // holds nothing
    table_.SweepPlayers();
    EXPECT_EQ(table_.heldBytes(), 2 * kHeld);
    EXPECT_EQ(table_.count(), 3u);

    From(1).configPart1.assign(1, 0);  // 1 speaks again and holds a little more
    table_.SweepPlayers();
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{3, 1}));
    EXPECT_EQ(table_.droppedRecords(), 1u);

    PlayerRecord& kicked = From(1);
    kicked.kickPending = true;
    kicked.idleTimer.Set(5);
    std::vector<uint8_t>().swap(kicked.configPart1);  // the kicked player holds half the bound
    Hold(From(3));
    From(3).configPart1.assign(kHeld, 0);
    table_.SweepPlayers();  // over again: 3 goes, the kicked player is kept for its removal
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{1}));
}

TEST_F(BoundedTableTest, KickedPlayersHoldingOverHalfTheBytesGoBeforeTheOthersUploads) {
    Hold(From(2));  // an honest upload under way
    for (uint8_t n : {uint8_t{1}, uint8_t{3}}) {
        PlayerRecord& kicked = From(n);
        kicked.kickPending = true;
        kicked.idleTimer.Set(5);
        Hold(kicked);
    }
    table_.SweepPlayers();  // 3 * kHeld held, 2 * kHeld of them by kicked players
    EXPECT_EQ(Followed(), (std::vector<uint32_t>{3, 2}));
    EXPECT_EQ(table_.heldBytes(), 2 * kHeld);
}

}  // namespace
}  // namespace korvane
