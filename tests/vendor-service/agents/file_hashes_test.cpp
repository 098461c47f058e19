#include "agents/file_hashes.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "../service_fixture.h"

namespace {

const char AbcSha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
const char AbdSha256[] = "a52d159f262b2c6ddb724a61840befc36eb30c88877a4030b65cbe86298449c9";

// The results of one lookup, and whether they came at once (on the caller's
// thread) or from the hasher's.
HashResults LookUp(FileHashes& hashes, const std::vector<std::string>& paths, bool& atOnce) {
    std::promise<HashResults> promise;
    const std::thread::id caller = std::this_thread::get_id();
    std::thread::id answeredOn;
    hashes.Lookup(paths, [&](HashResults results) {
        answeredOn = std::this_thread::get_id();
        promise.set_value(std::move(results));
    });
    HashResults results = promise.get_future().get();
    atOnce = answeredOn == caller;
    return results;
}

}  // namespace

TEST(FileHashes, OnlyFilesThatStoodStillAreVouchedFor) {
    TempDataFolder data;
    data.Write("archivos/paquetes/p.zip", "abc");
    FileHashes settled(DataFolder{data.Root()}, 60 * 60 * 1000);
    bool atOnce = false;
    // Written just now: it may still be being copied into place.
    EXPECT_EQ(LookUp(settled, {"/paquetes/p.zip"}, atOnce).at("/paquetes/p.zip"), "");

    FileHashes hashes(DataFolder{data.Root()}, 0);
    // Older than the kernel's coarse clock tick, so that its next version
    // gets a change time of its own.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    HashResults results = LookUp(hashes, {"/paquetes/p.zip", "/paquetes/falta.zip", "/paquetes/../x"}, atOnce);
    EXPECT_FALSE(atOnce);
    EXPECT_EQ(results.at("/paquetes/p.zip"), AbcSha256);
    EXPECT_EQ(results.at("/paquetes/falta.zip"), "");
    EXPECT_EQ(results.at("/paquetes/../x"), "");
    results = LookUp(hashes, {"/paquetes/p.zip"}, atOnce);
    EXPECT_TRUE(atOnce);  // kept while the file is the same version
    EXPECT_EQ(results.at("/paquetes/p.zip"), AbcSha256);

    // Written again with the same size and its old mtime put back: the
    // change time still tells, so the kept hash is not used.
    const std::filesystem::path file = data.Root() + "/archivos/paquetes/p.zip";
    const auto modified = std::filesystem::last_write_time(file);
    data.Write("archivos/paquetes/p.zip", "abd");
    std::filesystem::last_write_time(file, modified);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    results = LookUp(hashes, {"/paquetes/p.zip"}, atOnce);
    EXPECT_FALSE(atOnce);
    EXPECT_EQ(results.at("/paquetes/p.zip"), AbdSha256);

    hashes.Stop();
    results = LookUp(hashes, {"/paquetes/p.zip"}, atOnce);
    EXPECT_EQ(results.at("/paquetes/p.zip"), AbdSha256);  // known ones still answer after a stop
}
