#pragma once

namespace vlvpn {

struct WorkArea {
  int left = 0, top = 0, right = 0, bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

struct Size {
  int width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Point {
  int x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

// The host window's client size: 1020 x 740 at 96 DPI scaled to `dpi`, but never more
// than the work area leaves beside the frame (and never less than 1).
Size HostClientSize(unsigned dpi, const WorkArea& work, Size frame);

// Where a window of `outer` size sits centred on the work area; a window larger than
// the work area starts at its top-left corner.
Point CentredOrigin(const WorkArea& work, Size outer);

}  // namespace vlvpn
