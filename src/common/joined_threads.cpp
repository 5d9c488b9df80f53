#include "common/joined_threads.h"

namespace vlvpn {

JoinedThreads::~JoinedThreads() {
  std::list<Thread> all;
  {
    std::lock_guard guard(lock_);
    all.swap(threads_);
  }
  for (Thread& thread : all) thread.thread.join();
}

void JoinedThreads::Start(std::function<void()> body) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::lock_guard guard(lock_);
  JoinFinished();
  std::thread thread([body = std::move(body), finished] {
    body();
    *finished = true;
  });
  threads_.push_back({std::move(thread), std::move(finished)});
}

// Their work is done; joining only waits out the thread's own exit.
void JoinedThreads::JoinFinished() {
  threads_.remove_if([](Thread& thread) {
    if (!*thread.finished) return false;
    thread.thread.join();
    return true;
  });
}

}  // namespace vlvpn
