#include "app/window_geometry.h"

#include <gtest/gtest.h>

namespace vlvpn {
namespace {

struct SizeCase {
  unsigned dpi;
  WorkArea work;
  Size frame;
  Size client;
};

TEST(HostWindowGeometry, ClientSizeScalesWithDpiAndFitsTheWorkArea) {
  const WorkArea large{0, 0, 3840, 2160};
  const SizeCase cases[] = {
      {96, large, {16, 39}, {1020, 740}},
      {120, large, {20, 48}, {1275, 925}},
      {144, large, {24, 58}, {1530, 1110}},
      {192, large, {32, 78}, {2040, 1480}},
      // Small work areas: what is left beside the frame, per axis.
      {144, {0, 0, 1366, 728}, {24, 58}, {1342, 670}},
      {96, {100, 50, 900, 650}, {16, 39}, {784, 561}},
      {96, {0, 0, 10, 10}, {16, 39}, {1, 1}},
  };
  for (const SizeCase& c : cases) {
    EXPECT_EQ(HostClientSize(c.dpi, c.work, c.frame), c.client) << c.dpi << " dpi, " << c.work.Width();
  }
}

TEST(HostWindowGeometry, CentredAndNeverAboveOrLeftOfTheWorkArea) {
  EXPECT_EQ(CentredOrigin({0, 0, 1920, 1040}, {1036, 779}), (Point{442, 130}));
  EXPECT_EQ(CentredOrigin({1920, 0, 3840, 1080}, {1001, 500}), (Point{2379, 290})) << "second monitor, truncated";
  EXPECT_EQ(CentredOrigin({100, 50, 900, 650}, {1200, 900}), (Point{100, 50})) << "larger than the work area";
  EXPECT_EQ(CentredOrigin({-1280, 0, 0, 1024}, {2000, 200}), (Point{-1280, 412}));
}

}  // namespace
}  // namespace vlvpn
