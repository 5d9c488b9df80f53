#pragma once

#include <istream>
#include <memory>
#include <mutex>
#include <ostream>

#include "modules/velunor_modules.h"

namespace vlvpn {

// Writes whole lines under one lock, so settlements and events from several threads
// never mix, and flushes each.
class LineWriter {
 public:
  explicit LineWriter(std::ostream& out) : out_(out) {}
  void Write(const Value& message);
  // The process is about to end: waits out a line being written, flushes, and drops
  // every later line, so the reader never sees half a line.
  void Close();

 private:
  std::mutex lock_;
  std::ostream& out_;
  bool closed_ = false;
};

class Dispatcher;
class PendingCalls;

// One session of the line protocol: the hello on construction, then one request line
// at a time. Settlements are written as calls settle, from any thread.
class StdioHost {
 public:
  StdioHost(std::shared_ptr<LineWriter> writer, std::shared_ptr<ModuleServices> services);
  StdioHost(const StdioHost&) = delete;
  StdioHost& operator=(const StdioHost&) = delete;
  // Waits for every call to settle.
  ~StdioHost();

  // Answers a malformed line at once; hands a well-formed call to its handler. Blank
  // lines are skipped.
  void Serve(const std::string& line);
  void WaitUntilSettled();

 private:
  std::shared_ptr<LineWriter> writer_;
  std::shared_ptr<PendingCalls> pending_;
  std::unique_ptr<Dispatcher> dispatcher_;
};

// The line protocol that stands in for the React Native host: a hello line first,
// then one JSON request per input line, one settlement line per request (from any
// thread, never interleaved), and event lines. Returns the exit code once input
// has ended and every call has settled.
int RunStdioHost(std::istream& in, std::ostream& out, std::shared_ptr<ModuleServices> services);
int RunStdioHost(std::istream& in, std::shared_ptr<LineWriter> writer, std::shared_ptr<ModuleServices> services);

// The process's own host: standard input and output, the user's data folder. Returns
// the exit code; a failure to start is reported on standard error.
int RunStdioHostOnStandardStreams(bool launched_at_startup);

}  // namespace vlvpn
