#include "modules/promise.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/settlement.h"

namespace vlvpn {
namespace {

using testing::MakeSettlement;

// The first settlement wins, whatever follows; a settled promise that goes is not
// rejected; a void resolution carries no value; a rejection has exactly its three keys;
// the last copy dropped while pending rejects.
TEST(Promise, SettlesOnceWithItsShape) {
  auto [voided, void_settled] = MakeSettlement();
  voided.ResolveVoid();
  voided.Resolve(Value("too late"));
  voided.Reject("too late");
  EXPECT_FALSE(voided.IsPending());
  voided = Promise(nullptr, nullptr);
  EXPECT_EQ(void_settled.calls(), 1);
  const testing::Outcome out = void_settled.Await("void");
  EXPECT_TRUE(out.resolved);
  EXPECT_FALSE(out.value.has_value());

  auto [rejected, rejection] = MakeSettlement();
  rejected.Reject("Auth file not found");
  EXPECT_EQ(DumpLine(rejection.Await("rejected").error),
            R"({"code":"EUNSPECIFIED","message":"Auth file not found","userInfo":null})");

  auto [original, dropped] = MakeSettlement();
  {
    Promise copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
  }
  EXPECT_EQ(dropped.calls(), 0) << "a surviving copy keeps the promise pending";
  original = Promise(nullptr, nullptr);
  EXPECT_EQ(dropped.Await("dropped").error["message"], "Promise destroyed.");
}

// Resolvers, rejecters and droppers race on one promise from several threads:
// exactly one settlement must come out every time.
TEST(Promise, RacingSettlersDeliverExactlyOnce) {
  for (int round = 0; round < 200; ++round) {
    auto [promise, settled] = MakeSettlement();
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
      threads.emplace_back([copy = promise, t, &go]() mutable {
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
    promise = Promise(nullptr, nullptr);  // drop the test's own copy too
    go = true;
    for (auto& th : threads) th.join();
    ASSERT_EQ(settled.calls(), 1) << "round " << round;
  }
}

}  // namespace
}  // namespace vlvpn
