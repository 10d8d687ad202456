#include "platform/console_geometry.h"

#include <algorithm>

namespace tarvos::platform {

namespace {

bool Inside(const WindowRect& window, int columns, int rows) {
  return window.left >= 0 && window.top >= 0 && window.right < columns && window.bottom < rows;
}

void AddBuffer(ConsoleSetPlan& plan, int columns, int rows) {
  ConsoleSet& set = plan.sets[plan.count++];
  set.what = ConsoleSet::What::Buffer;
  set.columns = columns;
  set.rows = rows;
}

void AddWindow(ConsoleSetPlan& plan, const WindowRect& window) {
  ConsoleSet& set = plan.sets[plan.count++];
  set.what = ConsoleSet::What::Window;
  set.window = window;
}

}  // namespace

ConsoleGeometry WholeBuffer(int columns, int rows) { return ConsoleGeometry{columns, rows, {0, 0, columns - 1, rows - 1}}; }

ConsoleSetPlan PlanConsoleSets(const ConsoleGeometry& now, const ConsoleGeometry& wanted) {
  ConsoleSetPlan plan;
  const bool bufferHolds = now.columns == wanted.columns && now.rows == wanted.rows;
  const bool windowHolds = now.window == wanted.window;
  if (bufferHolds) {
    if (!windowHolds) AddWindow(plan, wanted.window);
    return plan;
  }
  if (windowHolds) {
    AddBuffer(plan, wanted.columns, wanted.rows);
    return plan;
  }
  const bool shrinks = wanted.columns < now.columns || wanted.rows < now.rows;
  const bool windowFirst = Inside(wanted.window, now.columns, now.rows);
  const bool bufferFirst = Inside(now.window, wanted.columns, wanted.rows);
  if (windowFirst && (shrinks || !bufferFirst)) {
    AddWindow(plan, wanted.window);
    AddBuffer(plan, wanted.columns, wanted.rows);
  } else if (bufferFirst) {
    AddBuffer(plan, wanted.columns, wanted.rows);
    AddWindow(plan, wanted.window);
  } else {
    // Wider and shorter, or the other way: a window that fits both buffers while the buffer changes.
    int columns = std::min(now.window.Columns(), wanted.window.Columns());
    int rows = std::min(now.window.Rows(), wanted.window.Rows());
    AddWindow(plan, WindowRect{0, 0, columns - 1, rows - 1});
    AddBuffer(plan, wanted.columns, wanted.rows);
    AddWindow(plan, wanted.window);
  }
  return plan;
}

std::optional<ConsoleGeometry> ScreenGeometry(const ConsoleGeometry& now, int largestColumns, int largestRows,
                                              int minColumns, int minRows) {
  const int columns = std::max(now.window.Columns(), minColumns);
  const int rows = std::max(now.window.Rows(), minRows);
  if (columns == now.window.Columns() && rows == now.window.Rows()) return now;
  if (largestColumns > 0 && largestRows > 0 && (columns > largestColumns || rows > largestRows)) return std::nullopt;
  ConsoleGeometry grown;
  grown.columns = std::max(now.columns, columns);
  grown.rows = std::max(now.rows, rows);
  // The window keeps its place in the buffer as far as its new size lets it.
  int left = std::clamp(now.window.left, 0, grown.columns - columns);
  int top = std::clamp(now.window.top, 0, grown.rows - rows);
  grown.window = WindowRect{left, top, left + columns - 1, top + rows - 1};
  return grown;
}

}  // namespace tarvos::platform
