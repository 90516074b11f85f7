#include "util/replacement_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <utility>

namespace {
// What "w" would have left: the permission bits of the file replaced, or
// for a new file those that creating it gives (0666 less the umask).
mode_t ReplacementMode(const struct stat* old) {
  if (old != nullptr) return old->st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// Whether an existing file opens for writing; opened without truncating,
// and without waiting on a FIFO that nobody reads.
bool OpensForWriting(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}
}  // namespace

ReplacementFile::ReplacementFile(std::string path) : path_(std::move(path)) {}

ReplacementFile::~ReplacementFile() { Discard(); }

bool ReplacementFile::Open() {
  struct stat old {};
  const bool exists = ::stat(path_.c_str(), &old) == 0;
  if (exists && !OpensForWriting(path_)) return false;
  std::string tempPath = path_ + ".XXXXXX";
  const int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
  if (fd < 0) return false;
  tempPath_ = std::move(tempPath);
  if (::fchmod(fd, ReplacementMode(exists ? &old : nullptr)) != 0 || (stream_ = ::fdopen(fd, "w")) == nullptr) {
    ::close(fd);
    Discard();
    return false;
  }
  return true;
}

bool ReplacementFile::Commit() {
  FILE* stream = std::exchange(stream_, nullptr);
  // Synced before the rename, so that a power cut cannot leave the new name
  // on an empty file.
  bool written = std::fflush(stream) == 0 && std::ferror(stream) == 0 && ::fsync(::fileno(stream)) == 0;
  written = std::fclose(stream) == 0 && written;
  if (!written || ::rename(tempPath_.c_str(), path_.c_str()) != 0) {
    Discard();
    return false;
  }
  tempPath_.clear();
  return true;
}

void ReplacementFile::Discard() {
  if (stream_ != nullptr) std::fclose(std::exchange(stream_, nullptr));
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
}
