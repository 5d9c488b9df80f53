#include "app/window_geometry.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vlvpn {
namespace {

TEST(HostWindowGeometry, ClientSizeScalesWithDpiFitsTheWorkAreaAndIsCentred) {
  const WorkArea large{0, 0, 3840, 2160};
  // DPI, work area, frame, client size.
  const std::tuple<unsigned, WorkArea, Size, Size> sizes[] = {
      {96, large, {16, 39}, {1020, 740}},
      {120, large, {20, 48}, {1275, 925}},
      {144, large, {24, 58}, {1530, 1110}},
      {192, large, {32, 78}, {2040, 1480}},
      // Small work areas: what is left beside the frame, per axis.
      {144, {0, 0, 1366, 728}, {24, 58}, {1342, 670}},
      {96, {100, 50, 900, 650}, {16, 39}, {784, 561}},
      {96, {0, 0, 10, 10}, {16, 39}, {1, 1}},
  };
  for (const auto& [dpi, work, frame, client] : sizes) {
    EXPECT_EQ(HostClientSize(dpi, work, frame), client) << dpi << " dpi, " << work.Width();
  }

  EXPECT_EQ(CentredOrigin({0, 0, 1920, 1040}, {1036, 779}), (Point{442, 130}));
  EXPECT_EQ(CentredOrigin({1920, 0, 3840, 1080}, {1001, 500}), (Point{2379, 290})) << "second monitor, truncated";
  EXPECT_EQ(CentredOrigin({100, 50, 900, 650}, {1200, 900}), (Point{100, 50})) << "larger than the work area";
  EXPECT_EQ(CentredOrigin({-1280, 0, 0, 1024}, {2000, 200}), (Point{-1280, 412}));
}

}  // namespace
}  // namespace vlvpn
