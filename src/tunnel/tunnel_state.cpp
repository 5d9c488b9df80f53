#include "tunnel/tunnel_state.h"

namespace vlvpn {

TunnelState& ProcessTunnelState() {
  static TunnelState state;
  return state;
}

}  // namespace vlvpn
