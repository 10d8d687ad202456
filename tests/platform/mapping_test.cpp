// Private views of files: copy-on-write pages, and a file cut short under its view.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <filesystem>
#include <thread>

#include "platform/file.h"
#include "platform/mapping.h"
#include "support/hive_builder.h"
#include "support/temp_dir.h"

namespace tarvos::platform {
namespace {

constexpr size_t kPage = 4096;

// A file of pages pages, each filled with its own number plus one.
std::vector<uint8_t> Pages(size_t pages) {
  std::vector<uint8_t> bytes(pages * kPage);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i / kPage + 1);
  return bytes;
}

class PrivateViewTest : public ::testing::Test {
 protected:
  // The file opened and mapped whole; false (the test skipped) where the system maps nothing.
  bool MapFile(PrivateView& view, File& file, const std::vector<uint8_t>& bytes, const std::string& name = "f") {
    path = dir.Path(name);
    EXPECT_TRUE(testing::WriteFileBytes(path, bytes));
    EXPECT_TRUE(file.OpenRead(path));
    return view.Map(file, bytes.size());
  }
  testing::TempDir dir;
  std::string path;
};

TEST_F(PrivateViewTest, WritesStayInTheProcessAndTheFileIsNeverChanged) {
  const std::vector<uint8_t> bytes = Pages(4);
  PrivateView view;
  File file;
  if (!MapFile(view, file, bytes)) GTEST_SKIP() << "no views of files here";
  file.Close();  // the view outlives the handle it was made from
  ASSERT_EQ(view.Size(), bytes.size());
  EXPECT_EQ(std::vector<uint8_t>(view.Data(), view.Data() + view.Size()), bytes);
  view.Data()[0] = 0xEE;
  view.Data()[2 * kPage + 7] = 0xEE;
  EXPECT_EQ(view.Data()[0], 0xEE);
  EXPECT_EQ(testing::ReadFileBytes(path), bytes) << "nothing reaches the file while mapped";
  // A second view of the same file sees the file, not the first view's writes.
  PrivateView other;
  File again;
  ASSERT_TRUE(again.OpenRead(path));
  ASSERT_TRUE(other.Map(again, bytes.size()));
  EXPECT_EQ(other.Data()[0], 1);
  EXPECT_EQ(other.Data()[2 * kPage + 7], 3);
  view.Unmap();
  EXPECT_EQ(view.Data(), nullptr);
  EXPECT_EQ(testing::ReadFileBytes(path), bytes) << "nor once unmapped";
  EXPECT_EQ(view.LostAt(), PrivateView::kNothingLost);
  EXPECT_EQ(other.LostAt(), PrivateView::kNothingLost);
}

// Another process cuts the file short while it is mapped: the pages past the new end read as
// zeros (also when written), the view says where the first lost page was, the pages before it
// keep the file's bytes, and a view of another file loses nothing. On Windows the first page lost
// takes the whole view with it: every page touched after it reads as zeros.
#ifdef _WIN32
constexpr bool kWholeViewLost = true;
#else
constexpr bool kWholeViewLost = false;
#endif

TEST_F(PrivateViewTest, FileCutShortReadsAsZerosAndIsNoted) {
  struct Case {
    size_t cutTo;       // bytes the file keeps
    size_t touched[3];  // pages touched after the cut, in this order
    uint64_t lostAt;    // the lowest page lost that was touched
    uint64_t lostAtWholeView;  // the first page lost that was touched
  };
  const Case cases[] = {
      {2 * kPage, {5, 3, 2}, 2 * kPage, 5 * kPage},  // the first page touched is not the first lost
      {kPage + 100, {1, 7, 0}, 7 * kPage, 7 * kPage},  // the page that holds the new end keeps what is left of it
      {0, {6, 6, 6}, 6 * kPage, 6 * kPage},            // the same page three times
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cutTo);
    const std::vector<uint8_t> bytes = Pages(8);
    PrivateView view, unrelated;
    File file, other;
    if (!MapFile(view, file, bytes)) GTEST_SKIP() << "no views of files here";
    ASSERT_TRUE(MapFile(unrelated, other, bytes, "other"));
    const std::string cut = dir.Path("f");
    EXPECT_EQ(view.Data()[0], 1) << "a page brought in before the cut";
    file.Close();  // the file is cut under the view alone
    if (!testing::CutFileShort(cut, c.cutTo)) GTEST_SKIP() << "no mapped file can be cut short here";
    bool viewLost = false;
    for (size_t page : c.touched) {
      uint8_t* at = view.Data() + page * kPage;
      if (page * kPage >= c.cutTo) {
        EXPECT_EQ(at[1], 0) << "page " << page;
        at[2] = 0x55;  // a repair written there stays in memory too
        EXPECT_EQ(at[2], 0x55);
        viewLost = kWholeViewLost;
      } else {
        EXPECT_EQ(at[1], viewLost ? 0 : page + 1) << "page " << page;
      }
    }
    EXPECT_EQ(view.LostAt(), kWholeViewLost ? c.lostAtWholeView : c.lostAt);
    EXPECT_EQ(unrelated.LostAt(), PrivateView::kNothingLost);
    EXPECT_EQ(unrelated.Data()[7 * kPage], 8);
    EXPECT_EQ(std::filesystem::file_size(cut), c.cutTo) << "the file is left as the other process made it";
  }
}

// Threads that read a view together when its file is cut short all go on, whichever of them
// meets the loss first (on Windows, the others may find the view being replaced by zeros).
TEST_F(PrivateViewTest, ThreadsReadingACutViewAllGoOn) {
  PrivateView view;
  File file;
  if (!MapFile(view, file, Pages(64))) GTEST_SKIP() << "no views of files here";
  file.Close();
  if (!testing::CutFileShort(path, 16 * kPage)) GTEST_SKIP() << "no mapped file can be cut short here";
  std::atomic<int> nonzero{0};
  std::vector<std::thread> readers;
  for (size_t t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      for (size_t i = 0; i < 64; ++i) {
        size_t page = (t * 16 + i * 5) % 64;  // each its own order
        if (page >= 16 && view.Data()[page * kPage + t] != 0) ++nonzero;
      }
    });
  }
  for (std::thread& reader : readers) reader.join();
  EXPECT_EQ(nonzero.load(), 0) << "past the new end, only zeros";
  EXPECT_TRUE(view.LostAt() >= 16 * kPage && view.LostAt() < 64 * kPage && view.LostAt() % kPage == 0) << view.LostAt();
}

#ifdef SIGBUS
// A SIGBUS outside every view is a crash, as without views.
TEST_F(PrivateViewTest, OtherBusFaultsStillEndTheProcess) {
  PrivateView view;
  File file;
  if (!MapFile(view, file, Pages(1))) GTEST_SKIP() << "no views of files here";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(std::raise(SIGBUS), "");
}
#endif

}  // namespace
}  // namespace tarvos::platform
