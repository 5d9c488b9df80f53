#include "modules/promise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace vlvpn {
namespace {

// Records every settlement a promise delivers.
struct Recorder {
  std::mutex lock;
  std::vector<std::optional<Value>> resolved;
  std::vector<Value> rejected;

  Promise Make() {
    return Promise(
        [this](std::optional<Value> v) {
          std::lock_guard g(lock);
          resolved.push_back(std::move(v));
        },
        [this](Value e) {
          std::lock_guard g(lock);
          rejected.push_back(std::move(e));
        });
  }
  std::size_t Settlements() {
    std::lock_guard g(lock);
    return resolved.size() + rejected.size();
  }
};

// The first settlement wins, whatever follows; a settled promise that goes is not
// rejected; a void resolution carries no value; a rejection has exactly its three keys.
TEST(Promise, FirstSettlementWinsAndHasItsShape) {
  Recorder r;
  {
    Promise p = r.Make();
    p.ResolveVoid();
    p.Resolve(Value("too late"));
    p.Reject("too late");
    EXPECT_FALSE(p.IsPending());
  }
  r.Make().Reject("Auth file not found");
  ASSERT_EQ(r.resolved.size(), 1u);
  EXPECT_FALSE(r.resolved[0].has_value());
  ASSERT_EQ(r.rejected.size(), 1u);
  EXPECT_EQ(DumpLine(r.rejected[0]),
            R"({"code":"EUNSPECIFIED","message":"Auth file not found","userInfo":null})");
}

TEST(Promise, LastCopyDroppedWhilePendingRejectsWithPromiseDestroyed) {
  Recorder r;
  {
    Promise original = r.Make();
    {
      Promise copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    }
    EXPECT_EQ(r.Settlements(), 0u) << "a surviving copy keeps the promise pending";
  }
  ASSERT_EQ(r.rejected.size(), 1u);
  EXPECT_EQ(r.rejected[0]["message"], "Promise destroyed.");
}

// Resolvers, rejecters and droppers race on one promise from several threads:
// exactly one settlement must come out every time.
TEST(Promise, RacingSettlersDeliverExactlyOnce) {
  for (int round = 0; round < 200; ++round) {
    Recorder r;
    {
      Promise p = r.Make();
      std::atomic<bool> go{false};
      std::vector<std::thread> threads;
      for (int t = 0; t < 6; ++t) {
        threads.emplace_back([copy = p, t, &go]() mutable {
          while (!go.load()) std::this_thread::yield();
          switch (t % 3) {
            case 0:
              copy.Resolve(Value(t));
              break;
            case 1:
              copy.Reject("rejected");
              break;
            default: {
              Promise dropped = std::move(copy);
            } break;
          }
        });
      }
      p = r.Make();  // drop the test's own copy of the first promise too
      go = true;
      for (auto& th : threads) th.join();
    }
    // One settlement for the raced promise, one "Promise destroyed." for the replacement.
    ASSERT_EQ(r.Settlements(), 2u) << "round " << round;
  }
}

}  // namespace
}  // namespace vlvpn
