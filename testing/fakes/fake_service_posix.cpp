#include "fakes/fake_service.h"

namespace vlvpn::fakes {

int RunAsService(const Serve& serve) {
  serve([] { return true; });
  return 0;
}

}  // namespace vlvpn::fakes
