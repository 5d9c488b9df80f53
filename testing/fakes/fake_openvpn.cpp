// A stand-in for OpenVPN 2.6: takes the command line the application passes, writes
// the log named by --log, serves the management interface on the given port and plays
// a script of states, log lines and an exit code.
//
// The script is the lines "#fake <command>" of the --config file. Commands, one per line:
//   state <WORD> [description]   change state (pushed as >STATE: to subscribers)
//   log <text>                   append a line to the log
//   sleep <ms>
//   exit <code>                  end now with that code
//   no-management                never open the management port (must come first)
//   management-delay <ms>        open it only after this long (must come first)
//   exit-delay <ms>              after SIGTERM, go on serving the port this long, as
//                                OpenVPN does while it notifies its server (must come first)
// Without "exit" the program runs until "signal SIGTERM" arrives on the management
// interface. With a password file after the port (--management host port file), every
// management client is asked for its first line first, as OpenVPN does.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/tcp_socket.h"

namespace {

using namespace std::chrono_literals;
using vlvpn::TcpSocket;

struct Options {
  std::string config;
  std::string log;
  std::uint16_t port = 0;
  std::string password;  // empty: none asked
  std::chrono::milliseconds exit_delay{0};
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) options.config = argv[i + 1];
    if (arg == "--log" && i + 1 < argc) options.log = argv[i + 1];
    if (arg == "--management" && i + 2 < argc) {
      options.port = static_cast<std::uint16_t>(std::atoi(argv[i + 2]));
      if (i + 3 < argc && std::string(argv[i + 3]).rfind("--", 0) != 0) {
        std::ifstream file(argv[i + 3], std::ios::binary);
        std::getline(file, options.password);
        if (options.password.empty()) options.password = "(unreadable)";
      }
    }
  }
  return options;
}

std::vector<std::string> ReadScript(const Options& options) {
  std::vector<std::string> script;
  std::ifstream in(options.config, std::ios::binary);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("#fake ", 0) == 0) script.push_back(line.substr(6));
  }
  return script;
}

class FakeOpenVpn {
 public:
  explicit FakeOpenVpn(Options options) : options_(std::move(options)) {}

  void Log(const std::string& text) {
    std::lock_guard guard(lock_);
    if (options_.log.empty()) return;
    std::ofstream out(options_.log, std::ios::binary | std::ios::app);
    out << Timestamp() << " " << text << "\n";
  }

  void SetState(const std::string& word, const std::string& description) {
    std::lock_guard guard(lock_);
    state_ = word;
    description_ = description;
    if (subscribed_ && client_ != nullptr) {
      client_->SendAll(">STATE:" + std::to_string(std::time(nullptr)) + "," + word + "," + description +
                       ",,,,,\r\n");
    }
  }

  // Serves management clients one at a time, as OpenVPN does.
  void ServeManagement(TcpSocket listener) {
    while (!Ended()) {
      TcpSocket client = listener.Accept(100ms);
      if (!client.valid()) continue;
      std::string buffer;
      if (!options_.password.empty() && !LogIn(client, buffer)) continue;
      {
        std::lock_guard guard(lock_);
        client_ = &client;
        subscribed_ = false;
        client.SendAll(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n");
      }
      bool open = true;
      while (open && !Ended()) {
        const auto received = client.Receive(buffer, 100ms);
        if (received == TcpSocket::Received::kClosed || received == TcpSocket::Received::kFailed) break;
        for (std::size_t nl; open && (nl = buffer.find('\n')) != std::string::npos;) {
          std::string command = buffer.substr(0, nl);
          buffer.erase(0, nl + 1);
          if (!command.empty() && command.back() == '\r') command.pop_back();
          open = Command(client, command);
        }
      }
      std::lock_guard guard(lock_);
      client_ = nullptr;
    }
  }

  bool stopping() const { return stopping_; }
  // Stopping, and done with the exit delay.
  bool Ended() const { return stopping_ && std::chrono::steady_clock::now() >= ends_at_.load(); }

 private:
  // OpenVPN's prompt: asked again after a wrong line, nothing else answered meanwhile.
  bool LogIn(const TcpSocket& client, std::string& buffer) {
    client.SendAll("ENTER PASSWORD:");
    while (!Ended()) {
      const auto received = client.Receive(buffer, 100ms);
      if (received == TcpSocket::Received::kClosed || received == TcpSocket::Received::kFailed) return false;
      for (std::size_t nl; (nl = buffer.find('\n')) != std::string::npos;) {
        std::string line = buffer.substr(0, nl);
        buffer.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == options_.password) {
          client.SendAll("SUCCESS: password is correct\r\n");
          return true;
        }
        client.SendAll("ENTER PASSWORD:");
      }
    }
    return false;
  }

  // Answers one management command; false ends the connection.
  bool Command(const TcpSocket& client, const std::string& command) {
    std::lock_guard guard(lock_);
    if (command == "state on") {
      subscribed_ = true;
      client.SendAll("SUCCESS: real-time state notification set to ON\r\n");
    } else if (command == "state") {
      client.SendAll(std::to_string(std::time(nullptr)) + "," + state_ + "," + description_ +
                     ",,,,,\r\nEND\r\n");
    } else if (command == "signal SIGTERM") {
      client.SendAll("SUCCESS: signal SIGTERM thrown\r\n");
      if (subscribed_)
        client.SendAll(">STATE:" + std::to_string(std::time(nullptr)) + ",EXITING,SIGTERM,,,,,\r\n");
      ends_at_ = std::chrono::steady_clock::now() + options_.exit_delay;
      stopping_ = true;
      return false;
    } else if (command == "quit" || command == "exit") {
      return false;
    } else {
      client.SendAll("ERROR: unknown command, enter 'help' for more options\r\n");
    }
    return true;
  }

  static std::string Timestamp() {
    const std::time_t now = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    return text;
  }

  Options options_;
  std::mutex lock_;
  std::string state_ = "CONNECTING";
  std::string description_;
  const TcpSocket* client_ = nullptr;
  bool subscribed_ = false;
  std::atomic<bool> stopping_{false};
  std::atomic<std::chrono::steady_clock::time_point> ends_at_{};
};

}  // namespace

int main(int argc, char** argv) {
  Options options = ParseOptions(argc, argv);
  std::vector<std::string> script = ReadScript(options);
  for (const std::string& line : script) {
    if (line.rfind("exit-delay ", 0) == 0) options.exit_delay = std::chrono::milliseconds(std::atoi(line.c_str() + 11));
  }
  FakeOpenVpn openvpn(options);
  openvpn.Log("OpenVPN 2.6.14 (fake) x86_64 [SSL (OpenSSL)]");

  bool management = options.port != 0;
  std::chrono::milliseconds delay{0};
  while (!script.empty()) {
    if (script.front() == "no-management") {
      management = false;
    } else if (script.front().rfind("exit-delay ", 0) == 0) {
    } else if (script.front().rfind("management-delay ", 0) == 0) {
      delay = std::chrono::milliseconds(std::atoi(script.front().c_str() + 17));
    } else {
      break;
    }
    script.erase(script.begin());
  }

  std::thread server;
  if (management) {
    server = std::thread([&openvpn, &options, delay] {
      std::this_thread::sleep_for(delay);
      TcpSocket listener = TcpSocket::Listen(options.port);
      if (!listener.valid()) {
        openvpn.Log("MANAGEMENT: Socket bind failed on local address [AF_INET]127.0.0.1:" +
                    std::to_string(options.port) + ": Address already in use");
        std::exit(1);
      }
      openvpn.Log("MANAGEMENT: TCP Socket listening on [AF_INET]127.0.0.1:" + std::to_string(options.port));
      openvpn.ServeManagement(std::move(listener));
    });
  }

  for (const std::string& line : script) {
    if (openvpn.stopping()) break;
    std::istringstream words(line);
    std::string command;
    words >> command;
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest.front() == ' ') rest.erase(0, 1);
    if (command == "state") {
      const std::size_t space = rest.find(' ');
      openvpn.SetState(rest.substr(0, space), space == std::string::npos ? "" : rest.substr(space + 1));
    } else if (command == "log") {
      openvpn.Log(rest);
    } else if (command == "sleep") {
      // As OpenVPN between tries: a SIGTERM ends the wait.
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atoi(rest.c_str()));
      while (!openvpn.stopping() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(10ms);
    } else if (command == "exit") {
      std::fflush(nullptr);
      std::_Exit(std::atoi(rest.c_str()));
    }
  }
  while (!openvpn.Ended()) std::this_thread::sleep_for(20ms);
  openvpn.Log("SIGTERM[hard,] received, process exiting");
  if (server.joinable()) server.join();
  return 0;
}
