#pragma once

#include <atomic>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace vlvpn {

// Threads with one owner that joins them, never detached. The MinGW thread runtime
// hands a detached thread's bookkeeping to the next new thread while the old one is
// still running its exit callbacks, and the new thread can then spin for ever on a
// lock in it (seen under Wine: a disconnect whose worker never ran). Finished threads
// are joined when the next one starts; the owner's end joins the rest.
class JoinedThreads {
 public:
  JoinedThreads() = default;
  JoinedThreads(const JoinedThreads&) = delete;
  JoinedThreads& operator=(const JoinedThreads&) = delete;
  ~JoinedThreads();

  // Runs `body` on a thread of its own; throws std::system_error when none starts.
  void Start(std::function<void()> body);

 private:
  struct Thread {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };
  void JoinFinished();

  std::mutex lock_;
  std::list<Thread> threads_;
};

}  // namespace vlvpn
