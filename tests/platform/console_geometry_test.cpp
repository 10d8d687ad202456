// Sizing a console buffer and its window: the order of the sets, and the size the full screen takes.
#include <gtest/gtest.h>

#include "platform/console_geometry.h"

namespace tarvos::platform {
namespace {

// A console as Windows and Wine keep one: a set that would leave the window outside the buffer
// is refused and changes nothing.
struct StrictConsole {
  ConsoleGeometry now;
  bool Apply(const ConsoleSet& set) {
    ConsoleGeometry next = now;
    if (set.what == ConsoleSet::What::Buffer) {
      next.columns = set.columns;
      next.rows = set.rows;
    } else {
      next.window = set.window;
    }
    const WindowRect& w = next.window;
    if (w.left < 0 || w.top < 0 || w.right < w.left || w.bottom < w.top || w.right >= next.columns ||
        w.bottom >= next.rows) {
      return false;
    }
    now = next;
    return true;
  }
};

TEST(PlanConsoleSets, EverySetKeepsTheWindowInsideTheBufferAndReachesTheSize) {
  struct Case {
    const char* what;
    ConsoleGeometry from;
    ConsoleGeometry to;
    int sets;
    ConsoleSet::What first;
  };
  const ConsoleGeometry held = WholeBuffer(80, 25);
  const Case cases[] = {
      {"enlarged by the user: window first", WholeBuffer(120, 35), held, 2, ConsoleSet::What::Window},
      {"shrunk by the user: buffer first", WholeBuffer(70, 20), held, 2, ConsoleSet::What::Buffer},
      {"window shrunk, buffer kept", {80, 25, {0, 0, 49, 19}}, held, 1, ConsoleSet::What::Window},
      {"buffer grown, window kept", {80, 150, {0, 0, 79, 24}}, held, 1, ConsoleSet::What::Buffer},
      {"wider and shorter", WholeBuffer(100, 20), held, 3, ConsoleSet::What::Window},
      {"narrower and taller", WholeBuffer(70, 40), held, 3, ConsoleSet::What::Window},
      {"the user's narrow scrolled window put back", {66, 300, {0, 180, 65, 203}}, {60, 300, {0, 180, 59, 199}}, 2,
       ConsoleSet::What::Window},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConsoleSetPlan plan = PlanConsoleSets(c.from, c.to);
    ASSERT_EQ(plan.count, c.sets);
    EXPECT_EQ(plan.sets[0].what, c.first);
    StrictConsole console{c.from};
    for (int i = 0; i < plan.count; ++i) EXPECT_TRUE(console.Apply(plan.sets[i])) << "set " << i;
    EXPECT_EQ(console.now, c.to);
  }
}

TEST(PlanConsoleSets, NothingIsSetWhenTheSizeHolds) {
  // The console answers each buffer set with a resize record; setting what holds would never end.
  EXPECT_EQ(PlanConsoleSets(WholeBuffer(80, 25), WholeBuffer(80, 25)).count, 0);
  ConsoleGeometry scrolled{80, 300, {0, 100, 79, 124}};
  EXPECT_EQ(PlanConsoleSets(scrolled, scrolled).count, 0);
}

TEST(ScreenGeometry, GrowsASmallWindowWithinWhatTheConsoleCanShow) {
  // Large enough: as it is, a tall buffer included.
  ConsoleGeometry tall{80, 300, {0, 200, 79, 224}};
  EXPECT_EQ(ScreenGeometry(tall, 160, 62, 66, 24), tall);
  EXPECT_EQ(ScreenGeometry(WholeBuffer(66, 24), 66, 24, 66, 24), WholeBuffer(66, 24));

  // Too small: the window grows, the buffer with it where it must, the window kept in its place.
  EXPECT_EQ(ScreenGeometry(WholeBuffer(60, 20), 160, 62, 66, 24), WholeBuffer(66, 24));
  ConsoleGeometry shortWindow{80, 150, {0, 140, 79, 149}};
  ConsoleGeometry grown{80, 150, {0, 126, 79, 149}};
  EXPECT_EQ(ScreenGeometry(shortWindow, 160, 62, 66, 24), grown);
  EXPECT_EQ(ScreenGeometry(ConsoleGeometry{100, 20, {10, 0, 59, 19}}, 0, 0, 66, 24),
            (ConsoleGeometry{100, 24, {10, 0, 75, 23}}))
      << "a largest window that is not known does not refuse";

  // A console that cannot show that much (a terminal of 60 x 20 under Wine): none.
  EXPECT_FALSE(ScreenGeometry(WholeBuffer(60, 20), 60, 20, 66, 24).has_value());
  EXPECT_FALSE(ScreenGeometry(WholeBuffer(80, 20), 100, 23, 66, 24).has_value());
}

}  // namespace
}  // namespace tarvos::platform
