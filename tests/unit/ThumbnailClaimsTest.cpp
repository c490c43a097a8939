// Claims on thumbnails being made: a claim held while its work runs stays
// fresh however long the work takes; one whose owner is gone goes stale.
// The ages are shortened here so that "long" is about a second.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "app/ThumbnailClaims.h"
#include "app/Thumbnails.h"
#include "support/TestSupport.h"

using testing_support::Exists;
using testing_support::TempDir;
using testing_support::WriteFile;

namespace {

constexpr double StaleSeconds = 0.8;
constexpr double RefreshSeconds = 0.05;

class ThumbnailClaimTimes : public ::testing::Test {
protected:
    void SetUp() override { SetThumbnailClaimTimes(StaleSeconds, RefreshSeconds); }
    void TearDown() override { SetThumbnailClaimTimes(ThumbnailClaimSeconds, ThumbnailClaimRefreshSeconds); }
    TempDir dir;
};

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

}  // namespace

TEST_F(ThumbnailClaimTimes, ClaimHeldThroughLongWorkIsNeitherTakenOverNorGivenUp) {
    const std::string thumbnail = dir / "t_a.jpg";
    ASSERT_TRUE(ClaimThumbnail(thumbnail));
    // Requests that arrive while the owner works two stale ages long.
    std::vector<std::future<bool>> waiters;
    {
        HeldThumbnailClaim held(thumbnail);
        for (int i = 0; i < 3; ++i)
            waiters.push_back(std::async(std::launch::async, [&] { return AwaitThumbnail(thumbnail); }));
        Sleep(2 * StaleSeconds);
        EXPECT_FALSE(ClaimThumbnail(thumbnail)) << "a fresh claim must not be taken over";
        WriteFile(thumbnail, "made once");
    }
    for (auto& waiter : waiters) EXPECT_TRUE(waiter.get()) << "a waiter gave up on a working owner";
    EXPECT_FALSE(Exists(thumbnail + ".~claim"));
}

TEST_F(ThumbnailClaimTimes, ClaimOfAnOwnerThatDiedGoesStaleAndIsTakenOverOnce) {
    const std::string thumbnail = dir / "t_a.jpg";
    ASSERT_TRUE(ClaimThumbnail(thumbnail));  // and never refreshed nor released
    EXPECT_FALSE(ClaimThumbnail(thumbnail));
    Sleep(StaleSeconds + 0.2);
    EXPECT_FALSE(AwaitThumbnail(thumbnail));
    EXPECT_TRUE(ClaimThumbnail(thumbnail));
    EXPECT_FALSE(ClaimThumbnail(thumbnail)) << "the claim taken over is fresh again";
    ReleaseThumbnailClaim(thumbnail);
    EXPECT_FALSE(Exists(thumbnail + ".~claim"));
}

TEST_F(ThumbnailClaimTimes, HeldClaimIsReleasedWhenTheWorkFails) {
    const std::string thumbnail = dir / "t_a.jpg";
    ASSERT_TRUE(ClaimThumbnail(thumbnail));
    try {
        HeldThumbnailClaim held(thumbnail);
        throw std::runtime_error("Invalid GIF signature");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(Exists(thumbnail + ".~claim"));
    // Nothing touches it after the release.
    Sleep(3 * RefreshSeconds);
    EXPECT_FALSE(Exists(thumbnail + ".~claim"));
}

// Many requests find one stale claim stale before any of them takes it over,
// round after round: exactly one of them takes it over each time, and
// nothing of the taking over is left beside the claim.
TEST_F(ThumbnailClaimTimes, StaleClaimFoundByManyAtOnceIsTakenOverByExactlyOne) {
    const std::string thumbnail = dir / "t_a.jpg";
    constexpr int Racers = 8;
    std::mutex mutex;
    std::condition_variable allFound;
    int found = 0;
    SetStaleClaimFoundHook([&] {
        std::unique_lock<std::mutex> lock(mutex);
        ++found;
        allFound.notify_all();
        allFound.wait_for(lock, std::chrono::seconds(5), [&] { return found % Racers == 0; });
    });
    for (int round = 0; round < 20; ++round) {
        WriteFile(thumbnail + ".~claim", "");
        std::filesystem::last_write_time(thumbnail + ".~claim",
                                         std::filesystem::file_time_type::clock::now() - std::chrono::seconds(60));
        std::atomic<int> owners{0};
        std::vector<std::thread> racers;
        for (int i = 0; i < Racers; ++i)
            racers.emplace_back([&] {
                if (ClaimThumbnail(thumbnail)) ++owners;
            });
        for (auto& racer : racers) racer.join();
        EXPECT_EQ(found, (round + 1) * Racers) << "round " << round;
        ASSERT_EQ(owners.load(), 1) << "round " << round;
        ReleaseThumbnailClaim(thumbnail);
        for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
            ADD_FAILURE() << "left behind: " << entry.path().filename().string();
    }
    SetStaleClaimFoundHook(nullptr);
}
