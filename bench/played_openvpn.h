#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "common/tcp_socket.h"

namespace vlvpn::bench {

// A connected OpenVPN's management interface, played on the port: it greets, answers
// the adoption's "state" and the one asked when following starts, then stays silent
// until Drop() closes the connection from the calling thread.
class PlayedOpenVpn {
 public:
  explicit PlayedOpenVpn(std::uint16_t port)
      : listener_(vlvpn::TcpSocket::Listen(port)), thread_([this] {
          client_ = listener_.Accept(std::chrono::seconds(5));
          client_.SendAll(">INFO:OpenVPN Management Interface Version 5 -- type 'help' for more info\r\n");
          std::string seen;
          for (int answered = 0; answered < 2 && client_.Receive(seen, std::chrono::seconds(5)) == vlvpn::TcpSocket::Received::kData;) {
            for (std::size_t at; (at = seen.find("state\r\n")) != std::string::npos; seen.erase(0, at + 7)) {
              client_.SendAll("1,CONNECTED,SUCCESS,10.8.0.2,,,,\r\nEND\r\n");
              ++answered;
            }
          }
        }) {}
  ~PlayedOpenVpn() { Drop(); }
  // The connection ends at once, as when OpenVPN dies.
  void Drop() {
    if (thread_.joinable()) thread_.join();
    client_ = vlvpn::TcpSocket();
  }

 private:
  vlvpn::TcpSocket listener_;
  vlvpn::TcpSocket client_;
  std::thread thread_;
};

}  // namespace vlvpn::bench
