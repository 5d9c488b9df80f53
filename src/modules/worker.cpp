#include "modules/worker.h"

#include <exception>

#include "common/joined_threads.h"

namespace vlvpn {
namespace {

JoinedThreads& Workers() {
  static JoinedThreads workers;
  return workers;
}

}  // namespace

void RunOnWorker(Promise promise, std::function<void(const Promise&)> work) {
  auto body = [promise, work = std::move(work)]() noexcept {
    try {
      work(promise);
    } catch (const std::exception& e) {
      promise.Reject(e.what());
    } catch (...) {
      promise.Reject("Unexpected error.");
    }
  };
  try {
    Workers().Start(std::move(body));
  } catch (const std::exception& e) {
    promise.Reject(std::string("Could not start a worker: ") + e.what());
  }
}

}  // namespace vlvpn
