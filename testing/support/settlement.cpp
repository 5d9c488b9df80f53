#include "support/settlement.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace vlvpn::testing {

void ReportNeverSettled(std::string_view what, std::chrono::seconds limit) {
  ADD_FAILURE() << what << " did not settle within " << limit.count() << " s";
}

std::pair<Promise, Awaited<Outcome>> MakeSettlement() {
  Awaited<Outcome> settled;
  auto done = settled.Callback();
  Promise promise([done](std::optional<Value> v) { done({true, std::move(v), nullptr}); },
                  [done](Value e) { done({false, std::nullopt, std::move(e)}); });
  return {std::move(promise), std::move(settled)};
}

Outcome CallAndAwait(const Dispatcher& dispatcher, std::string_view module, std::string_view method,
                     const Value& args) {
  auto [promise, settled] = MakeSettlement();
  dispatcher.Call(module, method, args, std::move(promise));
  return settled.Await(std::string(module) + "." + std::string(method));
}

}  // namespace vlvpn::testing
