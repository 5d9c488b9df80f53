#include "app/window_geometry.h"

#include <algorithm>

namespace vlvpn {
namespace {

constexpr int kClientWidthAt96 = 1020;
constexpr int kClientHeightAt96 = 740;

int Scaled(unsigned dpi, int length) { return static_cast<int>(dpi * static_cast<double>(length) / 96.0 + 0.5); }

}  // namespace

Size HostClientSize(unsigned dpi, const WorkArea& work, Size frame) {
  const int available_width = std::max(1, work.Width() - frame.width);
  const int available_height = std::max(1, work.Height() - frame.height);
  return {std::min(Scaled(dpi, kClientWidthAt96), available_width),
          std::min(Scaled(dpi, kClientHeightAt96), available_height)};
}

Point CentredOrigin(const WorkArea& work, Size outer) {
  return {std::max(work.left, work.left + (work.Width() - outer.width) / 2),
          std::max(work.top, work.top + (work.Height() - outer.height) / 2)};
}

}  // namespace vlvpn
