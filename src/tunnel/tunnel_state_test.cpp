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
  std::atomic<bool> stop{false};
  // The writer runs until the reader is done, so every read overlaps writing.
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      state.Update([i](TunnelRecord& r) {
        const bool up = i % 2 == 0;
        r.state = up ? "connected" : "disconnected";
        r.message = up ? "" : "Connection closed";
        r.profile_id = up ? "p1" : "";
      });
    }
  });
  while (state.Snapshot().state != "connected") std::this_thread::yield();
  for (int read = 0; read < 20000; ++read) {
    const TunnelRecord r = state.Snapshot();
    const bool consistent =
        (r.state == "connected" && r.message.empty() && r.profile_id == "p1") ||
        (r.state == "disconnected" && r.message == "Connection closed" && r.profile_id.empty());
    if (!consistent) {
      ADD_FAILURE() << "read " << read << ": " << r.state << "/" << r.message << "/" << r.profile_id;
      break;
    }
  }
  stop = true;
  writer.join();
}

}  // namespace
}  // namespace vlvpn
