#include "modules/worker.h"

#include <atomic>
#include <exception>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace vlvpn {
namespace {

// Worker threads are joined, never detached. The MinGW thread runtime hands a
// detached thread's bookkeeping to the next new thread while the old one is still
// running its exit callbacks, and the new thread can then spin for ever on a lock in
// it (seen under Wine: a disconnect whose worker never ran). A joined thread's
// bookkeeping is only reused once the thread has fully ended.
class WorkerThreads {
 public:
  void Start(std::function<void()> body) {
    auto finished = std::make_shared<std::atomic<bool>>(false);
    std::lock_guard guard(lock_);
    JoinFinished();
    std::thread thread([body = std::move(body), finished] {
      body();
      *finished = true;
    });
    workers_.push_back({std::move(thread), std::move(finished)});
  }

  ~WorkerThreads() {
    std::lock_guard guard(lock_);
    JoinFinished();
    // Work still under way when the process ends is cut short with it, as before.
    for (Worker& worker : workers_) worker.thread.detach();
  }

 private:
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  // Their work is done; joining only waits out the thread's own exit.
  void JoinFinished() {
    workers_.remove_if([](Worker& worker) {
      if (!*worker.finished) return false;
      worker.thread.join();
      return true;
    });
  }

  std::mutex lock_;
  std::list<Worker> workers_;
};

WorkerThreads& Workers() {
  static WorkerThreads workers;
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
