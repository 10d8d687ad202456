// The size of a console screen buffer and of its window, and the sets that bring one to another.
// A console keeps the window inside the buffer at every moment and refuses a set that would break
// that, so the order of the sets depends on which way each of them goes.
#pragma once

#include <array>
#include <optional>

namespace tarvos::platform {

// The visible part of a buffer, in its cells, right and bottom included.
struct WindowRect {
  int left = 0;
  int top = 0;
  int right = -1;
  int bottom = -1;
  int Columns() const { return right - left + 1; }
  int Rows() const { return bottom - top + 1; }
  bool operator==(const WindowRect&) const = default;
};

struct ConsoleGeometry {
  int columns = 0;  // the buffer
  int rows = 0;
  WindowRect window;
  bool operator==(const ConsoleGeometry&) const = default;
};

// A buffer of columns x rows seen whole, from its first cell.
ConsoleGeometry WholeBuffer(int columns, int rows);

// One set: the buffer's size, or the window's place.
struct ConsoleSet {
  enum class What { Buffer, Window };
  What what = What::Buffer;
  int columns = 0;  // with Buffer
  int rows = 0;
  WindowRect window;  // with Window
};

struct ConsoleSetPlan {
  std::array<ConsoleSet, 3> sets;
  int count = 0;
};

// The sets that bring a console from now to wanted, in an order that keeps the window inside the
// buffer before and after each: the window first when the buffer shrinks, the buffer first when
// it grows, and when it grows one way and shrinks the other, the window cut to fit both first.
// A size that already holds is not set again (a console may answer every buffer set with a
// resize record, even one that changes nothing).
ConsoleSetPlan PlanConsoleSets(const ConsoleGeometry& now, const ConsoleGeometry& wanted);

// The geometry the full screen is drawn in, given the console's now and the largest window it
// can show (0 x 0 when not known): the window as it is when it holds minColumns x minRows,
// otherwise grown to that within the buffer, which grows with it. Nothing when the console
// cannot show a window that large.
std::optional<ConsoleGeometry> ScreenGeometry(const ConsoleGeometry& now, int largestColumns, int largestRows,
                                              int minColumns, int minRows);

}  // namespace tarvos::platform
