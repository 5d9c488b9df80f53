// OpenVPN's log, any bytes: fed line by line, the explanation is one of the lines'
// texts or a rule's, never longer than a line may be, and never fails.
#include "fuzz_check.h"
#include "tunnel/diagnosis.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view log(reinterpret_cast<const char*>(data), size);
  vlvpn::LogDiagnosis diagnosis;
  std::size_t start = 0;
  while (start <= log.size() && !diagnosis.Decided()) {
    std::size_t end = log.find('\n', start);
    if (end == std::string_view::npos) end = log.size();
    const std::string_view line = log.substr(start, end - start);
    (void)vlvpn::MatchDiagnosisRule(line);
    diagnosis.Feed(line);
    start = end + 1;
  }
  const std::string result = diagnosis.Result();
  FUZZ_CHECK(result.size() <= vlvpn::LogDiagnosis::kMaxLine + 512);
  return 0;
}
