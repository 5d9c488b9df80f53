#include "modules/worker.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>

#include "common/tcp_socket.h"
#include "support/settlement.h"

namespace vlvpn {
namespace {

using namespace std::chrono_literals;
using testing::MakeSettlement;
using testing::Outcome;

TEST(RunOnWorker, SettlesFromTheWorkerAndTurnsExceptionsIntoRejections) {
  // The work, and the value it resolves with or the message it rejects with.
  const std::pair<std::function<void(const Promise&)>, Value> cases[] = {
      {[](const Promise& p) { p.Resolve(Value(7)); }, 7},
      {[](const Promise&) { throw std::runtime_error("worker broke"); }, "worker broke"},
      {[](const Promise&) { throw 42; }, "Unexpected error."},
      {[](const Promise&) {}, "Promise destroyed."},
  };
  for (const auto& [work, expected] : cases) {
    auto [promise, settled] = MakeSettlement();
    RunOnWorker(std::move(promise), work);
    const Outcome out = settled.Await(expected.dump());
    EXPECT_EQ(out.resolved ? out.value.value_or(Value()) : out.error["message"], expected);
  }
}

// A disconnect must be able to run while a connect still waits on its worker.
TEST(RunOnWorker, JobsRunSideBySide) {
  auto second_ran = std::make_shared<std::promise<void>>();
  auto [first, first_done] = MakeSettlement();
  RunOnWorker(std::move(first), [seen = second_ran->get_future().share()](const Promise& p) {
    p.Resolve(Value(seen.wait_for(10s) == std::future_status::ready));
  });
  auto [second, second_done] = MakeSettlement();
  RunOnWorker(std::move(second), [second_ran](const Promise& p) {
    second_ran->set_value();
    p.Resolve(Value(true));
  });
  EXPECT_EQ(second_done.Await("second").value, Value(true));
  EXPECT_EQ(first_done.Await("first").value, Value(true));
}

// Short jobs one after another, each using thread-local state inside the runtime
// (std::call_once in the socket start-up), as the tunnel's methods do.
TEST(RunOnWorker, ManyJobsInARowAllSettle) {
  for (int i = 0; i < 500; ++i) {
    auto [promise, settled] = MakeSettlement();
    RunOnWorker(std::move(promise), [](const Promise& settle) {
      TcpSocket::Connect(1, 10ms);
      settle.Resolve(Value(1));
    });
    ASSERT_TRUE(settled.Await("job " + std::to_string(i), 10s).resolved);
  }
}

}  // namespace
}  // namespace vlvpn
