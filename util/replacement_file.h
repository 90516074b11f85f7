#pragma once
// A file written beside the one it replaces, under a temporary name in the
// same folder, and renamed over it only once complete: until then the old
// file stays byte for byte as it was, and a replacement given up leaves no
// temporary file behind.

#include <cstdio>
#include <string>

class ReplacementFile {
 public:
  explicit ReplacementFile(std::string path);
  ~ReplacementFile();  // gives the replacement up unless it was committed
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // Creates the temporary file; false, with nothing created, when the file
  // could not be written: an existing one that does not open for writing,
  // or a folder that takes no new file.
  bool Open();
  FILE* Stream() const { return stream_; }
  // Flushes the temporary file to the disk and renames it over the file;
  // false when any of it failed (the old file then stays, the temporary
  // one goes).
  bool Commit();

 private:
  void Discard();

  std::string path_;
  std::string tempPath_;
  FILE* stream_ = nullptr;
};
