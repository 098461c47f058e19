#include "rollouts/rollout_rules.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <openssl/hmac.h>

#include "http/text_escape.h"
#include "rollouts/offer_token.h"

namespace {

std::string SimulatedId(int i) {
    return InstallationId("secreto", "MarvekMesalto", "PC-" + std::to_string(i), "C:\\Marvek\\mesalto.exe", "10.0.0.1");
}

// A stage's counts from its networks' outcomes and failures, as the store
// adds them one installation at a time (each first a success, then failed).
StageCounts Counted(const std::vector<NetworkTally>& networks, int weight = 0) {
    StageCounts counts;
    for (const NetworkTally& network : networks) {
        NetworkTally so{0, 0};
        for (int i = 0; i < network.outcomes; ++i) {
            const int failed = i < network.failures ? 1 : 0;
            counts = WithCountedOutcome(counts, so, 1, failed, weight);
            so = {so.outcomes + 1, so.failures + failed};
        }
    }
    return counts;
}

// `outcomes` installations with `failures` among them, each in a network of its own.
StageCounts Spread(int outcomes, int failures) {
    std::vector<NetworkTally> networks;
    for (int i = 0; i < outcomes; ++i) networks.push_back({1, i < failures ? 1 : 0});
    return Counted(networks);
}

}  // namespace

TEST(RolloutRules, PlacesSpreadEvenlyAndDifferPerRelease) {
    constexpr int Ids = 10000;
    int deciles[10] = {};
    int firstTenInBoth = 0;
    for (int i = 0; i < Ids; ++i) {
        const std::string id = SimulatedId(i);
        const double place = PlaceInRollout(id, 1);
        ASSERT_GE(place, 0.0);
        ASSERT_LT(place, 100.0);
        EXPECT_EQ(place, PlaceInRollout(id, 1));  // the same at every check-in
        ++deciles[static_cast<int>(place / 10)];
        if (place < 10 && PlaceInRollout(id, 2) < 10) ++firstTenInBoth;
    }
    std::printf("spread of %d simulated installations over tenths of release 1:", Ids);
    for (int count : deciles) std::printf(" %d", count);
    std::printf("; first tenth of both release 1 and release 2: %d\n", firstTenInBoth);
    // A stage of 10 % holds 10 % of the fleet, within three standard deviations (binomial: 30).
    for (int count : deciles) {
        EXPECT_GT(count, 910);
        EXPECT_LT(count, 1090);
    }
    // Another release puts other installations first: about 1 % are first in both.
    EXPECT_LT(firstTenInBoth, 150);
}

TEST(RolloutRules, TargetingByListOrRange) {
    const Targeting list{{"5.2.1.0", "5.1"}, "", ""};
    EXPECT_TRUE(IsTargeted(list, "5.2.1.0"));
    EXPECT_TRUE(IsTargeted(list, "5.2.1"));
    EXPECT_TRUE(IsTargeted(list, "5.1.0.0"));
    EXPECT_FALSE(IsTargeted(list, "5.2.1.1"));
    EXPECT_FALSE(IsTargeted(list, "No disponible"));
    const Targeting range{{}, "5.0", "5.9.9.9"};
    EXPECT_TRUE(IsTargeted(range, "5.0.0.0"));
    EXPECT_TRUE(IsTargeted(range, "5.9.9.9"));
    EXPECT_FALSE(IsTargeted(range, "5.10"));  // parts are numbers: 5.10 comes after 5.9.9.9
    EXPECT_FALSE(IsTargeted(range, "6.0.3.17"));
    EXPECT_FALSE(IsTargeted(range, "4.99"));
    EXPECT_FALSE(IsTargeted(range, ""));
    EXPECT_TRUE(IsTargeted(Targeting{{}, "", "5.2"}, "1.0"));
    EXPECT_FALSE(IsTargeted(Targeting{}, "5.2.1.0"));
}

TEST(RolloutRules, StagesPilotsAndInstallationsHeldBack) {
    Rollout rollout;
    rollout.settings.pilotHosts = {"pc-piloto"};
    rollout.settings.stages = StagesOf({1, 10, 100}, true);
    ASSERT_EQ(rollout.settings.stages.size(), 4u);
    EXPECT_EQ(StageName(rollout.settings.stages[0]), "piloto");
    EXPECT_EQ(StageName(rollout.settings.stages[2]), "10 %");
    rollout.currentStage = 0;
    EXPECT_TRUE(IsInCurrentStage(rollout, 99.9, true));
    EXPECT_FALSE(IsInCurrentStage(rollout, 0.0, false));
    rollout.currentStage = 1;
    EXPECT_TRUE(IsInCurrentStage(rollout, 0.99, false));
    EXPECT_FALSE(IsInCurrentStage(rollout, 1.0, false));
    EXPECT_TRUE(IsInCurrentStage(rollout, 50, true));
    rollout.currentStage = 3;
    EXPECT_TRUE(IsInCurrentStage(rollout, 99.99, false));

    RolloutSettings settings;
    settings.retryPauseSeconds = 3600;
    settings.maxAttempts = 3;
    InstallationInRollout record;
    EXPECT_TRUE(MayOfferAgain(settings, record, 1000));
    record = {true, 2, 0, 0, 0};  // offered twice, nothing reported yet
    EXPECT_TRUE(MayOfferAgain(settings, record, 1000));
    record = {true, 1, 1, 1, 5000};  // failed once at 5000
    EXPECT_FALSE(MayOfferAgain(settings, record, 5000 + 3599));
    EXPECT_TRUE(MayOfferAgain(settings, record, 5000 + 3600));
    record = {true, 3, 3, 2, 5000};  // three reports: no more
    EXPECT_FALSE(MayOfferAgain(settings, record, 5000 + 999999));
}

TEST(RolloutRules, OnlyInstallationsKnownBeforeTheRolloutCount) {
    RolloutSettings settings;
    const int64_t start = 1'000'000'000'000;
    EXPECT_TRUE(CountsInRollout(settings, start, start - 1, 1));
    EXPECT_FALSE(CountsInRollout(settings, start, start, 1));  // made when the rollout began: on demand
    EXPECT_FALSE(CountsInRollout(settings, start, start + 5000, 9));
    EXPECT_FALSE(CountsInRollout(settings, start, 0, 1));  // never seen
    settings.minAgeDays = 7;
    settings.minDaysSeen = 3;
    const int64_t day = 86'400'000;
    EXPECT_TRUE(CountsInRollout(settings, start, start - 7 * day - 1, 3));
    EXPECT_FALSE(CountsInRollout(settings, start, start - 7 * day + 1, 3));
    EXPECT_FALSE(CountsInRollout(settings, start, start - 30 * day, 2));
}

TEST(RolloutRules, EachNetworkWeighsAtMostItsShare) {
    // Within the weight, every installation counts as one.
    StageCounts counts = Counted({{3, 1}, {2, 0}}, 5);
    EXPECT_EQ((std::vector<double>{counts.weightedOutcomes, counts.weightedFailures}), (std::vector<double>{5, 1}));
    EXPECT_EQ((std::vector<int>{counts.outcomes, counts.failures, counts.networks, counts.failedNetworks}),
              (std::vector<int>{5, 1, 2, 1}));
    // A network of 100 outcomes with 10 failed weighs 5 with 0.5 failed: its own rate, at the weight of five.
    counts = Counted({{100, 10}, {4, 2}}, 5);
    EXPECT_NEAR(counts.weightedOutcomes, 9, 1e-9);
    EXPECT_NEAR(counts.weightedFailures, 2.5, 1e-9);
    EXPECT_EQ((std::vector<int>{counts.outcomes, counts.failures, counts.networks, counts.failedNetworks}),
              (std::vector<int>{104, 12, 2, 2}));
    counts = Counted({{100, 10}}, 0);  // no cap
    EXPECT_EQ(counts.weightedOutcomes, 100);
    EXPECT_EQ(counts.weightedFailures, 10);
}

TEST(RolloutRules, AStageHaltsOnItsFailuresAndAdvancesWhenItHasEarnedIt) {
    RolloutSettings settings;
    settings.minOutcomes = 10;
    settings.maxFailureRate = 0.2;
    settings.maxFailures = 0;
    settings.soakSeconds = 600;
    const Stage first{false, 1};
    EXPECT_FALSE(HaltVerdict(settings, Spread(9, 9), first).halt);  // too few outcomes for a rate
    EXPECT_FALSE(HaltVerdict(settings, Spread(10, 2), first).halt);
    Verdict verdict = HaltVerdict(settings, Spread(10, 3), first);
    EXPECT_TRUE(verdict.halt);
    EXPECT_EQ(verdict.reason, "fallaron 3 de 10 instalaciones en la etapa 1 % (30.0 %, en 3 redes; límite: 20.0 %)");
    settings.maxFailures = 3;
    verdict = HaltVerdict(settings, Spread(3, 3), Stage{false, 100});
    EXPECT_TRUE(verdict.halt);
    EXPECT_EQ(verdict.reason, "3 instalaciones fallaron en la etapa 100 %, en 3 redes (límite: 3)");
    EXPECT_FALSE(HaltVerdict(settings, Spread(3, 2), first).halt);

    // One or two networks decide nothing, however many installations they bring.
    settings.maxFailures = 0;
    EXPECT_FALSE(HaltVerdict(settings, Counted({{40, 40}, {40, 40}}, 5), first).halt);
    EXPECT_FALSE(MayAdvance(settings, Counted({{40, 0}, {40, 0}}, 5), 0, 10000));
    EXPECT_TRUE(HaltVerdict(settings, Counted({{40, 40}, {40, 40}, {1, 1}}, 5), first).halt);
    // Fake successes from one network cannot hide a real failing fleet: 10 of
    // 30 real installations failing (in ten networks of three), and 100 OKs from one network.
    std::vector<NetworkTally> fleet(10, NetworkTally{3, 1});
    fleet.push_back({100, 0});
    EXPECT_TRUE(HaltVerdict(settings, Counted(fleet, 5), first).halt);
    EXPECT_FALSE(HaltVerdict(settings, Counted(fleet, 0), first).halt);  // without the weight they could

    EXPECT_FALSE(MayAdvance(settings, Spread(9, 0), 0, 10000));
    EXPECT_FALSE(MayAdvance(settings, Spread(10, 0), 0, 599));
    EXPECT_TRUE(MayAdvance(settings, Spread(10, 0), 0, 600));
    EXPECT_TRUE(MayAdvance(settings, Spread(10, 2), 0, 600));
    EXPECT_FALSE(MayAdvance(settings, Spread(10, 3), 0, 600));
    settings.minNetworks = 11;
    EXPECT_FALSE(MayAdvance(settings, Spread(10, 0), 0, 600));
    settings.minNetworks = 3;
    settings.autoAdvance = false;
    EXPECT_FALSE(MayAdvance(settings, Spread(100, 0), 0, 100000));

    std::vector<double> percents;
    EXPECT_TRUE(ParsePercents("1,10,50,100", percents));
    EXPECT_EQ(percents, (std::vector<double>{1, 10, 50, 100}));
    EXPECT_TRUE(ParsePercents("0.5,100", percents));
    for (const char* bad : {"", "10,5", "0,100", "1,,100", "1,101", "diez", "10,10"}) {
        EXPECT_FALSE(ParsePercents(bad, percents)) << bad;
    }
}

TEST(OfferToken, NamesTheOfferAndOnlyTheServiceCanSignOne) {
    const std::string id = SimulatedId(7);
    const std::string token = OfferToken("secreto", id, 42);
    std::string installation;
    long long rollout = 0;
    ASSERT_TRUE(ReadOfferToken("secreto", token, installation, rollout));
    EXPECT_EQ(installation, id);
    EXPECT_EQ(rollout, 42);
    EXPECT_FALSE(ReadOfferToken("otro secreto", token, installation, rollout));
    std::string changed = token;
    changed[changed.size() - 1] = changed.back() == '0' ? '1' : '0';
    EXPECT_FALSE(ReadOfferToken("secreto", changed, installation, rollout));
    // Another rollout with the same signature does not verify.
    std::string other = token;
    other.replace(33, 2, "43");
    EXPECT_FALSE(ReadOfferToken("secreto", other, installation, rollout));
    for (const std::string bad : {std::string(), std::string("x"), id + "-42", id + "--" + token.substr(36),
                                  std::string(200, 'a')}) {
        EXPECT_FALSE(ReadOfferToken("secreto", bad, installation, rollout)) << bad;
    }

    EXPECT_EQ(WithOfferToken("https://d.example/p/m.zip", "T"), "https://d.example/p/m.zip?o=T");
    EXPECT_EQ(WithOfferToken("https://d.example/p/m.zip?v=2#x", "T"), "https://d.example/p/m.zip?v=2&o=T#x");
    EXPECT_EQ(OfferTokenOfUrl("https://d.example/p/m.zip?v=2&o=" + token + "#x"), token);
    EXPECT_EQ(OfferTokenOfUrl("https://d.example/p/m.zip"), "");

    // Host and path in any letter case are one installation; a missing
    // member takes the client address.
    EXPECT_EQ(InstallationId("s", "MarvekOlvo", "PC-1", "C:\\Olvo\\olvo.exe", "1.2.3.4"),
              InstallationId("s", "MarvekOlvo", "pc-1", "c:\\olvo\\OLVO.EXE", "5.6.7.8"));
    EXPECT_NE(InstallationId("s", "MarvekOlvo", "PC-1", "C:\\Olvo\\olvo.exe", "1.2.3.4"),
              InstallationId("s", "MarvekMesalto", "PC-1", "C:\\Olvo\\olvo.exe", "1.2.3.4"));
    EXPECT_NE(InstallationId("s", "MarvekOlvo", "", "", "1.2.3.4"), InstallationId("s", "MarvekOlvo", "", "", "1.2.3.5"));
    EXPECT_EQ(InstallationId("s", "MarvekOlvo", "", "", "1.2.3.4").size(), 32u);

    // The service's HMAC-SHA256 is OpenSSL's, for short and long secrets and
    // after another secret was used on the same thread.
    for (const std::string secret : {std::string("s"), std::string(64, 'k'), std::string(200, 'z'), std::string("s")}) {
        const std::string data = "instalacion\nMarvekOlvo\npc-1\nc:\\olvo\\olvo.exe";
        unsigned char digest[32];
        unsigned int size = 0;
        HMAC(EVP_sha256(), secret.data(), static_cast<int>(secret.size()),
             reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest, &size);
        EXPECT_EQ(InstallationId(secret, "MarvekOlvo", "PC-1", "C:\\Olvo\\olvo.exe", ""),
                  LowerHex(digest, size).substr(0, 32))
            << secret.size();
    }
}
