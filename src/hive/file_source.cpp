#include "hive/image.h"
#include "platform/file.h"

namespace tarvos::hive {

struct FileHiveSource::Impl {
  platform::File file;
};

FileHiveSource::FileHiveSource() : impl_(new Impl) {}
FileHiveSource::~FileHiveSource() { delete impl_; }

// Only a plain file is a hive: a FIFO or a device is refused at once, never waited on.
bool FileHiveSource::Open(const std::string& name) { return impl_->file.OpenRead(name, true); }
std::string FileHiveSource::OpenFailure() const { return impl_->file.Failure(); }
bool FileHiveSource::Size(uint64_t& size) { return impl_->file.Size(size); }
bool FileHiveSource::ReadAt(uint64_t offset, uint8_t* buffer, size_t count, size_t& got) {
  return impl_->file.ReadAt(offset, buffer, count, got);
}
void FileHiveSource::Close() { impl_->file.Close(); }

}  // namespace tarvos::hive
