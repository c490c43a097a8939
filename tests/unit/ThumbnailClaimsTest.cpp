// Claims on thumbnails being made: a claim held while its work runs stays
// fresh however long the work takes; one whose owner is gone goes stale.
// The ages are shortened here so that "long" is about a second.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

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
