#include "hive/image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include "hive/layout.h"
#include "platform/file.h"
#include "platform/mapping.h"
#include "platform/text.h"

namespace tarvos::hive {

struct FileHiveSource::Impl {
  platform::File file;
};

namespace {

class FileView final : public HiveView {
 public:
  uint8_t* Data() override { return view.Data(); }
  uint32_t LostAt() const override {
    uint64_t at = view.LostAt();
    return at == platform::PrivateView::kNothingLost ? kNullOffset : static_cast<uint32_t>(at);
  }
  platform::PrivateView view;
};

}  // namespace

FileHiveSource::FileHiveSource(bool mapped) : mapped_(mapped), impl_(new Impl) {}
bool FileHiveSource::MappingWanted() {
  const char* read = std::getenv("TARVOS_READ_HIVES");
  return read == nullptr || *read == '\0';
}
FileHiveSource::~FileHiveSource() { delete impl_; }

// Only a plain file is a hive: a FIFO or a device is refused at once, never waited on.
bool FileHiveSource::Open(const std::string& name) { return impl_->file.OpenRead(name, true); }
std::string FileHiveSource::OpenFailure() const { return impl_->file.Failure(); }
bool FileHiveSource::Size(uint64_t& size) { return impl_->file.Size(size); }
bool FileHiveSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) {
  return impl_->file.ReadAt(offset, buffer, count, got);
}
void FileHiveSource::Close() { impl_->file.Close(); }
std::unique_ptr<HiveView> FileHiveSource::MapPrivate(uint32_t size) {
  if (!mapped_) return nullptr;
  auto view = std::make_unique<FileView>();
  if (!view->view.Map(impl_->file, size)) return nullptr;
  return view;
}

}  // namespace tarvos::hive
