#include <nftables/libnftables.h>

#include "service/firewall.h"

namespace vlvpn::service {
namespace {

class NftablesFirewall : public Firewall {
 public:
  std::string Apply(const FirewallState& state) override {
    nft_ctx* context = ::nft_ctx_new(NFT_CTX_DEFAULT);
    if (context == nullptr) return "nftables is not available";
    ::nft_ctx_buffer_output(context);
    ::nft_ctx_buffer_error(context);
    const std::string script = RenderRuleset(state);
    std::string error;
    if (::nft_run_cmd_from_buffer(context, script.c_str()) != 0) {
      const char* text = ::nft_ctx_get_error_buffer(context);
      error = text != nullptr && *text != '\0' ? text : "nftables refused the rules";
      while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    }
    ::nft_ctx_free(context);
    return error;
  }
};

}  // namespace

std::unique_ptr<Firewall> MakeNftablesFirewall() { return std::make_unique<NftablesFirewall>(); }

}  // namespace vlvpn::service
