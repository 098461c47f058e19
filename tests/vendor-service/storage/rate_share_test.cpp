#include "storage/rate_share.h"

#include <gtest/gtest.h>

#include "../service_fixture.h"

// Two instances on one PostgreSQL store: a flood through both gets one
// limit's worth.
TEST(RateShare, InstancesChargeEachOtherWithWhatTheyLetThrough) {
    TempDataFolder folder;
    TestStore store(folder.Root());
    if (!store.IsPostgres()) GTEST_SKIP() << "shared limits are for PostgreSQL (TREVANTO_TEST_POSTGRES)";
    CommitRowsNow(store.Target(), {});
    const RateSettings settings{0.001, 10, 100, true};
    RateLimiter first(settings), second(settings);
    RateShare firstShare(store.Target(), first, "primera"), secondShare(store.Target(), second, "segunda");
    std::string error;
    ASSERT_TRUE(firstShare.Exchange(error)) << error;
    ASSERT_TRUE(secondShare.Exchange(error)) << error;
    int letThrough = 0;
    for (int i = 0; i < 6; ++i) letThrough += first.Take("198.51.100.7") ? 1 : 0;
    first.Take("198.51.100.8");
    ASSERT_TRUE(firstShare.Exchange(error)) << error;
    ASSERT_TRUE(secondShare.Exchange(error)) << error;
    // The second instance has 10 - 6 left for the address, and all 10 for another.
    while (second.Take("198.51.100.7")) ++letThrough;
    EXPECT_EQ(letThrough, 10);
    int other = 0;
    while (second.Take("198.51.100.9")) ++other;
    EXPECT_EQ(other, 10);
    // And the first is charged with the second's in turn, once only.
    ASSERT_TRUE(secondShare.Exchange(error)) << error;
    ASSERT_TRUE(firstShare.Exchange(error)) << error;
    ASSERT_TRUE(firstShare.Exchange(error)) << error;
    EXPECT_FALSE(first.Take("198.51.100.7"));
    EXPECT_FALSE(first.Take("198.51.100.9"));
    EXPECT_TRUE(first.Take("198.51.100.8"));
    EXPECT_EQ(StoreNumber(store.Target(), "SELECT SUM(admitted) FROM rate_usage"), 6 + 1 + 4 + 10);
    // A third instance's row that commits after higher ids were read (its
    // id taken first) is still charged.
    Database db;
    ASSERT_TRUE(OpenDatabase(store.Target(), false, 0, db, error)) << error;
    ASSERT_TRUE(db.RunText("INSERT INTO rate_usage (id, instance, at_unix, address, admitted)"
                           " VALUES (-5, 'tercera', ?1, '198.51.100.20', 10)",
                           {Int(std::time(nullptr))})
                    .Ok());
    ASSERT_TRUE(secondShare.Exchange(error)) << error;
    ASSERT_TRUE(secondShare.Exchange(error)) << error;
    EXPECT_FALSE(second.Take("198.51.100.20"));
    EXPECT_TRUE(second.Take("198.51.100.8"));
    // A store that is gone: the exchange fails and the limiter goes on alone.
    RateShare lost("host=/nonexistent port=1 user=nadie", first, "cuarta");
    EXPECT_FALSE(lost.Exchange(error));
    EXPECT_TRUE(first.Take("198.51.100.10"));
}
