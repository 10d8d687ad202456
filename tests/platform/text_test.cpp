// Paths shortened to a width of cells.
#include <gtest/gtest.h>

#include "platform/screen_model.h"
#include "platform/text.h"

namespace tarvos::platform {
namespace {

std::string Shortened(const std::string& path, size_t width) {
  std::string out;
  for (uint32_t ch : ShortenPath(DecodeUtf8(path), width)) AppendUtf8(out, ch);
  return out;
}

TEST(ShortenPath, KeepsTheStartAndTheName) {
  struct Row {
    const char* path;
    size_t width;
    const char* shown;
  };
  // 日 and 本 take two cells each; the e and its combining acute one.
  for (const Row& row : {
           Row{"/mnt/c/Windows/System32/config/SOFTWARE", 39, "/mnt/c/Windows/System32/config/SOFTWARE"},
           Row{"/mnt/c/Windows/System32/config/SOFTWARE", 22, "/mnt/…/config/SOFTWARE"},
           Row{"/mnt/c/Windows/System32/config/SOFTWARE", 12, "…ig/SOFTWARE"},
           Row{"/mnt/c/Windows/System32/config/NTUSER.DAT.LOG1", 6, "….LOG1"},
           Row{"/mnt/日本/日本/SAM", 12, "/mnt/…本/SAM"},
           Row{"/mnt/x/e\xcc\x81tait/SAM", 14, "/mnt/…tait/SAM"},
       }) {
    std::string shown = Shortened(row.path, row.width);
    EXPECT_EQ(shown, row.shown) << row.path << " in " << row.width;
    EXPECT_LE(TextWidth(DecodeUtf8(shown)), row.width) << row.path << " in " << row.width;
  }
}

}  // namespace
}  // namespace tarvos::platform
