// Loads driver images built for the host. Every load is a private copy of
// the image file, so each load has its own globals, as a freshly loaded PE
// image has on a real board. The copies live in anonymous memory files:
// nothing is left on disk, however the run ends.
#pragma once

#include <memory>
#include <string>
#include <vector>
#include <cstdint>

#include <Uefi.h>

class SimHardwarePort;

namespace sim {

struct LoadedImage {
  struct Segment {
    uintptr_t Start = 0;  // page-aligned
    size_t Size = 0;
    int Protection = 0;
  };

  std::string Name;
  void *Library = nullptr;
  EFI_IMAGE_ENTRY_POINT Entry = nullptr;
  std::string CopyPath;  // /proc/self/fd/N of the memory file, open while loaded
  int CopyFd = -1;
  std::vector<Segment> Segments;  // the image's mapped code and data
  bool Unloaded = false;
  ~LoadedImage();

  bool Holds(const void *Address) const;
  // What a firmware core does to an image whose entry failed: its pages
  // are freed. They stay reserved, inaccessible, so that nothing else lands
  // there and any later call or access into them traps.
  void Unload();
};

class ImageLoader {
 public:
  explicit ImageLoader(std::string ImageDir);

  bool Exists(const std::string &Name) const;
  std::string PathOf(const std::string &Name) const;
  // nullptr with Error set when the image cannot be loaded.
  std::unique_ptr<LoadedImage> Load(const std::string &Name, SimHardwarePort &Hardware, std::string &Error);

 private:
  std::string ImageDir_;
};

// Where the driver images are: $BOARDSIM_IMAGE_DIR, else lib/boardsim next to
// the running executable's bin/ directory, else the build-time default.
std::string DefaultImageDir();

}  // namespace sim
