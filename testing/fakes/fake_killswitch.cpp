// A stand-in for the kill-switch service: serves its one-line protocol, records every
// command it receives, answers from a script and can really run the program that
// OPENVPN_START names.
//
//   fake-killswitch --pipe <pipe or socket> [--record <file>] [--script <file>] [--service]
//
// --service runs it under the Windows service control manager.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_killswitch_script.h"
#include "fakes/fake_service.h"
#include "fakes/pipe_server.h"
#include "fakes/program_runner.h"
#include "common/arguments.h"
#include "common/file_io.h"
#include "killswitch/protocol.h"

namespace vlvpn::fakes {
namespace {

struct Options {
  std::string pipe;
  std::string record;
  std::string script;
  bool service = false;
};

Options ParseOptions(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return {OptionValue(args, "--pipe"), OptionValue(args, "--record"), OptionValue(args, "--script"),
          std::find(args.begin(), args.end(), "--service") != args.end()};
}

class FakeService {
 public:
  explicit FakeService(Options options)
      : options_(std::move(options)), rules_(ParseReplyScript(ReadFileBytes(options_.script).value_or(""))) {}

  void Handle(PipeConnection& connection) {
    const std::optional<std::string> command = connection.ReadLine();
    if (!command) return;
    Record(*command);
    std::string reply = ChooseReply(rules_, *command);
    if (reply == "<silence>") return;
    if (reply == "<hang>") return connection.WaitForClientToLeave();
    if (reply.rfind("<delay ", 0) == 0) {
      const std::size_t end = reply.find('>');
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(reply.substr(7, end - 7))));
      reply = reply.substr(end + 1);
      if (!reply.empty() && reply.front() == ' ') reply.erase(0, 1);
    }
    if (reply == "<start>") reply = Start(*command);
    if (reply == "<stop>") {
      runner_.Stop();
      reply = "OK";
    }
    if (reply == "<status>") {
      const std::uint32_t pid = runner_.RunningPid();
      reply = pid != 0 ? std::string(kill_switch_protocol::kRunning) + " " + std::to_string(pid)
                       : std::string(kill_switch_protocol::kStopped);
    }
    connection.Write(reply + "\n");
  }

  const Options& options() const { return options_; }

 private:
  // "OPENVPN_START\t<program>\t<arguments>"
  std::string Start(const std::string& command) {
    const std::size_t first = command.find('\t');
    const std::size_t second = command.find('\t', first + 1);
    if (first == std::string::npos || second == std::string::npos) return "ERROR bad OPENVPN_START";
    runner_.Stop();
    const std::string program = command.substr(first + 1, second - first - 1);
    const std::uint32_t pid = runner_.Start(program, SplitArguments(command.substr(second + 1)));
    return pid != 0 ? "OK " + std::to_string(pid) : "ERROR cannot start " + program;
  }

  void Record(const std::string& command) {
    if (options_.record.empty()) return;
    std::ofstream out(options_.record, std::ios::binary | std::ios::app);
    out << command << '\n';
  }

  Options options_;
  std::vector<ReplyRule> rules_;
  ProgramRunner runner_;
};

}  // namespace
}  // namespace vlvpn::fakes

int main(int argc, char** argv) {
  using namespace vlvpn::fakes;
  const Options options = ParseOptions(argc, argv);
  if (options.pipe.empty()) {
    std::fprintf(stderr,
                 "usage: fake-killswitch --pipe <name> [--record <file>] [--script <file>] [--service]\n");
    return 2;
  }
  FakeService service(options);
  const auto serve = [&service](const std::function<bool()>& keep_going) {
    ServePipe(
        service.options().pipe, [&service](PipeConnection& c) { service.Handle(c); }, keep_going);
  };
  try {
    if (options.service) return RunAsService(serve);
    serve([] { return true; });
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fake-killswitch: %s\n", e.what());
    return 1;
  }
  return 0;
}
