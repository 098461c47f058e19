// Who may try a password, and which passwords an operator may have.
#include <gtest/gtest.h>

#include "console/login_limiter.h"
#include "console/password_policy.h"

TEST(LoginLimiter, EachTryIsCountedBeforeItsCheckAndWaitsDouble) {
    LoginLimiter limiter;
    const LoginKeys ana = KeysOfLogin("ana", "203.0.113.7");
    // Five tries sent together go through; the sixth must wait, however
    // many of the five are still being checked.
    for (int i = 0; i < 5; ++i) EXPECT_EQ(limiter.Begin(ana, 1000), 0) << i;
    EXPECT_EQ(limiter.Begin(ana, 1000), 1);
    EXPECT_EQ(limiter.Begin(ana, 1000), 1);  // a refused try counts nothing
    const int expected[] = {2, 4, 8, 16, 32, 64, 128, 256, 300, 300};
    int64_t now = 1001;
    for (int wait : expected) {
        ASSERT_EQ(limiter.Begin(ana, now), 0);
        EXPECT_EQ(limiter.Begin(ana, now), wait);
        now += wait;
    }
    // The letter case of a name makes no other key; any length makes a key of one size.
    EXPECT_EQ(KeysOfLogin("ANA", "203.0.113.7").nameFromNetwork, ana.nameFromNetwork);
    EXPECT_EQ(KeysOfLogin(std::string(1 << 20, 'a'), "203.0.113.7").name.size(), ana.name.size());
    limiter.Succeeded(ana);
    EXPECT_EQ(limiter.Begin(ana, now), 0);
}

TEST(LoginLimiter, AStrangersLockKeepsOutHisNetworkAndOnlyBrieflyTheRest) {
    LoginLimiter limiter;
    // Twenty guesses for "ana" from one /24, from twenty addresses at once.
    int refused = 0;
    for (int i = 0; i < 20; ++i)
        refused += limiter.Begin(KeysOfLogin("ana", "198.51.100." + std::to_string(i)), 1000) > 0;
    EXPECT_EQ(refused, 15);
    // That network waits long for "ana"; the real operator elsewhere waits
    // for the short slowing of the name at most, and other names not at all.
    EXPECT_EQ(limiter.Begin(KeysOfLogin("ana", "198.51.100.200"), 1000), 1);
    const int elsewhere = limiter.Begin(KeysOfLogin("ana", "192.0.2.10"), 1000);
    EXPECT_GE(elsewhere, 0);
    EXPECT_LE(elsewhere, LoginRules().nameMaxWaitSeconds);
    EXPECT_EQ(limiter.Begin(KeysOfLogin("ana", "192.0.2.10"), 1000 + LoginRules().nameMaxWaitSeconds), 0);
    EXPECT_EQ(limiter.Begin(KeysOfLogin("luis", "192.0.2.11"), 1000), 0);
    // Spread over networks, guesses for one name meet the name's slowing.
    LoginLimiter spread;
    int through = 0;
    for (int i = 0; i < 100; ++i)
        through += spread.Begin(KeysOfLogin("ana", "10." + std::to_string(i) + ".0.1"), 5000) == 0;
    EXPECT_EQ(through, LoginRules().nameFreeFailures);
}

TEST(LoginLimiter, TheTableIsBoundedAndNeverDropsALock) {
    LoginRules rules;
    rules.maxKeys = 300;
    LoginLimiter limiter(rules);
    const LoginKeys locked = KeysOfLogin("ana", "203.0.113.7");
    for (int i = 0; i < 5; ++i) ASSERT_EQ(limiter.Begin(locked, 1000), 0);
    ASSERT_EQ(limiter.Begin(locked, 1000), 1);
    // Junk from many addresses and names fills the table many times over.
    for (int i = 0; i < 5000; ++i) {
        limiter.Begin(
            KeysOfLogin("junk" + std::to_string(i), "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250)),
            1000);
        ASSERT_LE(limiter.Keys(), rules.maxKeys);
    }
    EXPECT_EQ(limiter.Begin(locked, 1000), 1);  // still waiting
    // A table of keys that all wait refuses a new key until the first wait ends.
    LoginRules small;
    small.maxKeys = 6;
    LoginLimiter full(small);
    for (const char* address : {"10.0.0.1", "10.0.1.1"}) {
        for (int i = 0; i < 5; ++i) ASSERT_EQ(full.Begin(KeysOfLogin("ana", address), 1000), 0);
    }
    EXPECT_EQ(full.Keys(), 5u);
    EXPECT_EQ(full.Begin(KeysOfLogin("luis", "10.0.2.1"), 1000), 1);
    EXPECT_EQ(full.Begin(KeysOfLogin("luis", "10.0.2.1"), 1001), 0);  // the waits are over: room is made
    EXPECT_LE(full.Keys(), 6u);
}

TEST(PasswordPolicy, LongVariedAndNotACommonOne) {
    std::string reason;
    for (const char* good : {"clave-de-la-demo", "caballo grapa batería", "Xq7!vR2#mL9p"}) {
        EXPECT_TRUE(AcceptablePassword(good, "ana", reason)) << good << ": " << reason;
    }
    const std::string bad[] = {
        "aaaaaaaaaa",
        "          ",
        "corta-11-ch",
        std::string(12, 'a'),
        "abababababab",
        "123456789012",
        "abcdefghijkl",
        "987654321098",
        "Password1234!",
        "contraseña2024",
        "qwertyuiop123",
        "  marvek2026!!",
        "2024-Ana-2025!",
        std::string(1025, 'x') + "yz123",
        std::string("clave\ncon-salto"),
    };
    for (const std::string& password : bad) {
        EXPECT_FALSE(AcceptablePassword(password, "ana", reason)) << password;
        EXPECT_FALSE(reason.empty());
    }
}
