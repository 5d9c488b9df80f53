#include "app/stdio_host.h"

#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>

#include "killswitch/close_apps.h"
#include "modules/dispatcher.h"
#include "modules/promise.h"

namespace vlvpn {

// Counts calls not yet settled, so the end of input can wait for them.
class PendingCalls {
 public:
  void Add() {
    std::lock_guard guard(lock_);
    ++count_;
  }
  void Done() {
    std::lock_guard guard(lock_);
    if (--count_ == 0) drained_.notify_all();
  }
  void WaitUntilNone() {
    std::unique_lock guard(lock_);
    drained_.wait(guard, [this] { return count_ == 0; });
  }

 private:
  std::mutex lock_;
  std::condition_variable drained_;
  std::size_t count_ = 0;
};

namespace {

Value ErrorLine(const Value& id, std::string_view message) {
  Value line = Value::object();
  line["id"] = id;
  line["error"] = RejectionObject(message);
  return line;
}

Value EventLine(const std::string& name, const Value* body) {
  Value line = Value::object();
  line["event"] = name;
  if (body != nullptr) line["body"] = *body;
  return line;
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

// The request's id when it can be read: nested arrays and objects are skipped unread,
// so a line too deep to take whole can still be answered by its id.
Value ReadableId(const std::string& line) {
  const auto top_level_only = [](int depth, Value::parse_event_t event, Value&) {
    return depth == 0 || (event != Value::parse_event_t::object_start && event != Value::parse_event_t::array_start);
  };
  const Value shallow = Value::parse(line, top_level_only, /*allow_exceptions=*/false);
  if (!shallow.is_object()) return nullptr;
  const auto it = shallow.find("id");
  if (it == shallow.end() || (!it->is_number() && !it->is_string())) return nullptr;
  return *it;
}

}  // namespace

void LineWriter::Write(const Value& message) {
  const std::string line = DumpLine(message) + "\n";
  std::lock_guard guard(lock_);
  if (closed_) return;
  out_.write(line.data(), static_cast<std::streamsize>(line.size()));
  out_.flush();
}

void LineWriter::Close() {
  std::lock_guard guard(lock_);
  out_.flush();
  closed_ = true;
}

int RunStdioHost(std::istream& in, std::ostream& out, std::shared_ptr<ModuleServices> services) {
  return RunStdioHost(in, std::make_shared<LineWriter>(out), std::move(services));
}

StdioHost::StdioHost(std::shared_ptr<LineWriter> writer, std::shared_ptr<ModuleServices> services)
    : writer_(std::move(writer)), pending_(std::make_shared<PendingCalls>()) {
  const std::vector<std::string>& events = TunnelEventNames();
  TunnelEventSlots slots;
  slots.menu_bar_action = [writer = writer_, name = events[0]](const Value& payload) {
    writer->Write(EventLine(name, &payload));
  };
  slots.app_window_did_show = [writer = writer_, name = events[1]] { writer->Write(EventLine(name, nullptr)); };
  slots.system_did_resume = [writer = writer_, name = events[2]] { writer->Write(EventLine(name, nullptr)); };

  dispatcher_ = std::make_unique<Dispatcher>(BuildModules(services));
  Value hello = Value::object();
  hello["hello"]["modules"] = dispatcher_->Describe();
  writer_->Write(hello);
  InitializeTunnelModule(*services, slots);
}

StdioHost::~StdioHost() { WaitUntilSettled(); }

void StdioHost::WaitUntilSettled() { pending_->WaitUntilNone(); }

void StdioHost::Serve(const std::string& line) {
  if (IsBlank(line)) return;
  const Value request = ParseJson(line);
  if (!request.is_object()) {
    const Value id = request.is_discarded() ? ReadableId(line) : Value(nullptr);
    writer_->Write(ErrorLine(id, "Malformed request: each line must be one JSON object."));
    return;
  }
  Value id = nullptr;
  if (const auto it = request.find("id"); it != request.end()) {
    if (!it->is_number() && !it->is_string()) {
      writer_->Write(ErrorLine(nullptr, "Malformed request: \"id\" must be a number or a string."));
      return;
    }
    id = *it;
  }
  const auto module = request.find("module");
  const auto method = request.find("method");
  if (module == request.end() || method == request.end() || !module->is_string() || !method->is_string()) {
    writer_->Write(ErrorLine(id, "Malformed request: \"module\" and \"method\" must be given as strings."));
    return;
  }
  const auto args = request.find("args");

  pending_->Add();
  Promise promise(
      [writer = writer_, pending = pending_, id](std::optional<Value> result) {
        Value settled = Value::object();
        settled["id"] = id;
        if (result) settled["result"] = std::move(*result);
        writer->Write(settled);
        pending->Done();
      },
      [writer = writer_, pending = pending_, id](Value error) {
        Value settled = Value::object();
        settled["id"] = id;
        settled["error"] = std::move(error);
        writer->Write(settled);
        pending->Done();
      });
  dispatcher_->Call(module->get<std::string>(), method->get<std::string>(),
                    args == request.end() ? Value::array() : *args, std::move(promise));
}

int RunStdioHost(std::istream& in, std::shared_ptr<LineWriter> writer, std::shared_ptr<ModuleServices> services) {
  StdioHost host(std::move(writer), services);
  for (std::string line; std::getline(in, line);) host.Serve(line);
  // The interface is gone: nobody will finish a sign-in in the browser for it.
  if (services && services->sign_in) services->sign_in->Cancel();
  host.WaitUntilSettled();
  return 0;
}

int RunStdioHostOnStandardStreams(bool launched_at_startup) {
  try {
    DesktopShell shell;
    shell.launched_at_startup = launched_at_startup;
    auto services =
        std::make_shared<ModuleServices>(DataLocations(), ModuleServices::DefaultTunnelEnvironment(), std::move(shell));
    services->locations.RemoveCrashLeftovers();  // writes a crash cut short
    services->interface_pid = ParentProcessId();
    const int code = RunStdioHost(std::cin, std::cout, services);
    std::cout.flush();
    return code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "VLVPNDesk: %s\n", e.what());
    return 1;
  }
}

}  // namespace vlvpn
