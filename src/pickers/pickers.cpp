#include "pickers/pickers.h"

#include <fstream>
#include <stdexcept>
#include <string>

#include "common/text.h"

namespace vlvpn {

Value AppChoiceObject(std::string_view path, char separator) {
  const std::size_t slash = path.rfind(separator);
  const std::string_view file = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = file.rfind('.');
  Value choice = Value::object();
  choice["bundleId"] = std::string(file);
  choice["name"] = std::string(dot == std::string_view::npos ? file : file.substr(0, dot));
  choice["path"] = std::string(path);
  choice["color"] = "#1d8fef";
  return choice;
}

Value OvpnChoiceObject(const std::filesystem::path& path, char separator, std::size_t max_bytes) {
  std::string content;
  if (std::ifstream in(path, std::ios::binary); in) {
    // Read in pieces up to one byte past the cap: a file that is too large is told
    // without reading it whole, and a small one costs no more than its size.
    char piece[64 * 1024];
    while (content.size() <= max_bytes && in.read(piece, sizeof piece).gcount() > 0) {
      content.append(piece, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) content.clear();
    if (content.size() > max_bytes) {
      const std::string limit = max_bytes % (std::size_t{1} << 20) == 0
                                    ? std::to_string(max_bytes >> 20) + " MiB"
                                    : std::to_string(max_bytes) + " bytes";
      throw std::runtime_error("The chosen file is larger than " + limit + " and cannot be an OpenVPN profile.");
    }
  }
  if (content.rfind("\xEF\xBB\xBF", 0) == 0) content.erase(0, 3);

  const std::string text = PathToUtf8(path);
  const std::size_t slash = text.rfind(separator);
  Value choice = Value::object();
  choice["fileName"] = slash == std::string::npos ? text : text.substr(slash + 1);
  choice["content"] = std::move(content);
  choice["sourceDirectory"] = slash == std::string::npos ? std::string() : text.substr(0, slash);
  return choice;
}

}  // namespace vlvpn
