// Any argument list survives quoting and splitting unchanged; any string splits.
#include <fuzzer/FuzzedDataProvider.h>

#include "common/arguments.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool as_list = input.ConsumeBool();
  if (!as_list) {
    const std::string line = input.ConsumeRemainingBytesAsString();
    for (const std::string& argument : vlvpn::SplitArguments(line)) FUZZ_CHECK(argument.size() <= line.size());
    return 0;
  }
  std::vector<std::string> arguments;
  while (input.remaining_bytes() > 0) {
    std::string argument = input.ConsumeRandomLengthString(256);
    // NUL ends a command line on Windows; nothing we quote holds one.
    argument.erase(std::remove(argument.begin(), argument.end(), '\0'), argument.end());
    arguments.push_back(std::move(argument));
  }
  std::string line;
  for (const std::string& argument : arguments) line += (line.empty() ? "" : " ") + vlvpn::QuoteArgument(argument);
  FUZZ_CHECK(vlvpn::SplitArguments(line) == arguments);
  return 0;
}
