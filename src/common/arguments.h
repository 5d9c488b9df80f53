#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vlvpn {

// One argument in double quotes, read back whole by the Windows command-line rules
// (and by SplitArguments): a plain path comes out as "<path>"; quotes inside and
// backslashes before a quote or the closing quote are escaped, so no text can end
// the argument early or swallow the next one.
std::string QuoteArgument(std::string_view argument);

// Splits an argument string by the Windows command-line rules; what the kill-switch
// service and OpenVPN do with the string we send.
std::vector<std::string> SplitArguments(std::string_view command_line);

// The value after the first `option` in split arguments ("--log" names OpenVPN's log);
// empty when there is none.
std::string OptionValue(const std::vector<std::string>& arguments, std::string_view option);

// The argument string with the first "--log <file>" moved to its front. OpenVPN opens
// its log the moment it reads the option, so what the profile's parsing says (an
// unknown directive) reaches the log where nobody holds OpenVPN's output.
std::string WithLogFirst(std::string_view arguments);

}  // namespace vlvpn
