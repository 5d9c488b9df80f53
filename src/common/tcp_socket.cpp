#include "common/tcp_socket.h"

namespace vlvpn {

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : native_(other.native_) { other.native_ = -1; }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.native_;
    other.native_ = -1;
  }
  return *this;
}

TcpSocket::~TcpSocket() { Close(); }

std::pair<TcpSocket, TcpSocket> TcpSocket::ConnectedPair() {
  const TcpSocket listener = Listen(0);
  if (!listener.valid()) return {};
  TcpSocket near = Connect(listener.LocalPort(), std::chrono::seconds(1));
  TcpSocket far = listener.Accept(std::chrono::seconds(1));
  if (!near.valid() || !far.valid()) return {};
  return {std::move(near), std::move(far)};
}

}  // namespace vlvpn
