// A volume given as a FAT12/16/32 image file (made by mkfs.vfat, a card reader, dd) rather than a
// host folder. Its files are read with mtools from the host's distribution, never by a FAT reader of
// our own: at mount the image's tree is copied out into a private temporary folder (long names,
// nested folders, read-only attributes as files without write permission), which the volume then
// serves. mtools reads the image through the descriptor the caller opened (confined like any path a
// module folder names), read-only; the image is never changed. Whatever is written to the volume goes
// to the copy and is gone when the volume is removed.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace sim {

class FatImageCopy {
 public:
  // Copies the files out of the image open (read-only) at image_fd; shown names it in messages.
  // Throws FatImageError with mtools' own words when it cannot.
  FatImageCopy(int image_fd, const std::filesystem::path& shown);
  ~FatImageCopy();
  FatImageCopy(const FatImageCopy&) = delete;
  FatImageCopy& operator=(const FatImageCopy&) = delete;

  const std::filesystem::path& image() const { return image_; }
  // The private folder holding the image's files.
  const std::filesystem::path& dir() const { return dir_; }

 private:
  std::filesystem::path image_;
  std::filesystem::path scratch_;  // removed at the end
  std::filesystem::path dir_;
};

struct FatImageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace sim
