#include "support/settlement.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vlvpn::testing {

std::pair<Promise, std::future<Outcome>> MakeSettlement() {
  auto done = std::make_shared<std::promise<Outcome>>();
  auto future = done->get_future();
  Promise promise(
      [done](std::optional<Value> v) {
        done->set_value({true, std::move(v), nullptr});
      },
      [done](Value e) {
        done->set_value({false, std::nullopt, std::move(e)});
      });
  return {std::move(promise), std::move(future)};
}

void ReportNeverSettled(std::string_view what, std::chrono::seconds limit) {
  ADD_FAILURE() << what << " did not settle within " << limit.count() << " s";
}

Outcome Await(std::future<Outcome>& future, std::string_view what, std::chrono::seconds limit) {
  if (future.wait_for(limit) != std::future_status::ready) {
    ReportNeverSettled(what, limit);
    return {false, std::nullopt, RejectionObject("never settled")};
  }
  return future.get();
}

Outcome CallAndAwait(const Dispatcher& dispatcher, std::string_view module, std::string_view method,
                     const Value& args) {
  auto [promise, future] = MakeSettlement();
  dispatcher.Call(module, method, args, std::move(promise));
  return Await(future, std::string(module) + "." + std::string(method));
}

}  // namespace vlvpn::testing
