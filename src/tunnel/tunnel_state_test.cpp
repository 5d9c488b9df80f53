#include "tunnel/tunnel_state.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace vlvpn {
namespace {

TEST(TunnelState, FreshRecordIsDisconnected) {
  const TunnelState state;
  const TunnelRecord record = state.Snapshot();
  EXPECT_EQ(record.state, "disconnected");
  EXPECT_EQ(record.message, "");
  EXPECT_EQ(record.profile_id, "");
  EXPECT_EQ(record.process, nullptr);
  EXPECT_EQ(state.connect_generation.load(), 0u);
  EXPECT_EQ(state.connects_in_flight.load(), 0);
  EXPECT_FALSE(state.tunnel_wanted.load());
  EXPECT_FALSE(state.launched_via_service.load());
}

// A reader copying while a writer changes the record sees one whole record or the
// other, never a mixture.
TEST(TunnelState, ReadersNeverSeeAHalfWrittenRecord) {
  TunnelState state;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) {
      state.Update([i](TunnelRecord& r) {
        const bool up = i % 2 == 0;
        r.state = up ? "connected" : "disconnected";
        r.message = up ? "" : "Connection closed";
        r.profile_id = up ? "p1" : "";
      });
    }
    done = true;
  });
  int checked = 0;
  while (!done) {
    const TunnelRecord r = state.Snapshot();
    const bool consistent =
        (r.state == "connected" && r.message.empty() && r.profile_id == "p1") ||
        (r.state == "disconnected" && (r.message == "Connection closed" || r.profile_id.empty()));
    ASSERT_TRUE(consistent) << r.state << "/" << r.message << "/" << r.profile_id;
    ++checked;
  }
  writer.join();
  EXPECT_GT(checked, 0);
}

}  // namespace
}  // namespace vlvpn
