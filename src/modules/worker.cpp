#include "modules/worker.h"

#include <exception>
#include <thread>

namespace vlvpn {

void RunDetached(Promise promise, std::function<void(const Promise&)> work) {
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
    std::thread(std::move(body)).detach();
  } catch (const std::exception& e) {
    promise.Reject(std::string("Could not start a worker: ") + e.what());
  }
}

}  // namespace vlvpn
