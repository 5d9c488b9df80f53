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

}  // namespace vlvpn
