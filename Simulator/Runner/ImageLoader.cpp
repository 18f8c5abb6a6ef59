#include "ImageLoader.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <system_error>

#include <BaseHwAccessLibSim/SimHardwarePort.h>

namespace sim {

namespace fs = std::filesystem;

namespace {

int ProtectionOf(uint32_t Flags) {
  return ((Flags & PF_R) != 0 ? PROT_READ : 0) | ((Flags & PF_W) != 0 ? PROT_WRITE : 0) |
         ((Flags & PF_X) != 0 ? PROT_EXEC : 0);
}

// The loadable segments of the object loaded from Path.
std::vector<LoadedImage::Segment> SegmentsOf(const std::string &Path) {
  struct Search {
    const std::string *Path;
    std::vector<LoadedImage::Segment> Found;
  } S{&Path, {}};
  dl_iterate_phdr(
      [](struct dl_phdr_info *Info, size_t, void *Data) {
        auto &S = *static_cast<Search *>(Data);
        if (Info->dlpi_name == nullptr || *S.Path != Info->dlpi_name) {
          return 0;
        }
        const auto Page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
        for (int I = 0; I < Info->dlpi_phnum; ++I) {
          const ElfW(Phdr) &H = Info->dlpi_phdr[I];
          if (H.p_type != PT_LOAD || H.p_memsz == 0) {
            continue;
          }
          const uintptr_t Begin = (Info->dlpi_addr + H.p_vaddr) & ~(Page - 1);
          const uintptr_t End = (Info->dlpi_addr + H.p_vaddr + H.p_memsz + Page - 1) & ~(Page - 1);
          S.Found.push_back({Begin, End - Begin, ProtectionOf(H.p_flags)});
        }
        return 1;
      },
      &S);
  return S.Found;
}

}  // namespace

bool LoadedImage::Holds(const void *Address) const {
  const auto A = reinterpret_cast<uintptr_t>(Address);
  return std::any_of(Segments.begin(), Segments.end(),
                     [&](const Segment &S) { return A >= S.Start && A < S.Start + S.Size; });
}

void LoadedImage::Unload() {
  for (const Segment &S : Segments) {
    mprotect(reinterpret_cast<void *>(S.Start), S.Size, PROT_NONE);
  }
  Unloaded = true;
}

LoadedImage::~LoadedImage() {
  if (Unloaded) {
    // The loader and the leak checker walk the object's pages as it goes.
    for (const Segment &S : Segments) {
      mprotect(reinterpret_cast<void *>(S.Start), S.Size, S.Protection);
    }
  }
  if (Library != nullptr) {
    dlclose(Library);
  }
  if (CopyFd >= 0) {
    close(CopyFd);
  }
}

ImageLoader::ImageLoader(std::string ImageDir) : ImageDir_(std::move(ImageDir)) {}

std::string ImageLoader::PathOf(const std::string &Name) const { return ImageDir_ + "/" + Name + ".so"; }

bool ImageLoader::Exists(const std::string &Name) const {
  std::error_code Ec;
  return fs::is_regular_file(PathOf(Name), Ec);
}

std::unique_ptr<LoadedImage> ImageLoader::Load(const std::string &Name, SimHardwarePort &Hardware, std::string &Error) {
  if (!Exists(Name)) {
    Error = "no image " + PathOf(Name);
    return nullptr;
  }
  std::ifstream In(PathOf(Name), std::ios::binary);
  std::string Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
  if (!In && !In.eof()) {
    Error = "cannot read " + PathOf(Name);
    return nullptr;
  }
  auto Image = std::make_unique<LoadedImage>();
  Image->Name = Name;
  // The descriptor stays open while the image is loaded: the loader knows an
  // object by its path, and a reused descriptor number would hand back the
  // previous load.
  Image->CopyFd = memfd_create(Name.c_str(), MFD_CLOEXEC);
  if (Image->CopyFd < 0) {
    Error = std::string("cannot create a memory file for ") + Name + ": " + std::strerror(errno);
    return nullptr;
  }
  for (size_t Done = 0; Done < Bytes.size();) {
    const ssize_t Wrote = write(Image->CopyFd, Bytes.data() + Done, Bytes.size() - Done);
    if (Wrote <= 0) {
      Error = std::string("cannot copy ") + PathOf(Name) + ": " + std::strerror(errno);
      return nullptr;
    }
    Done += static_cast<size_t>(Wrote);
  }
  Image->CopyPath = "/proc/self/fd/" + std::to_string(Image->CopyFd);
  Image->Library = dlopen(Image->CopyPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (Image->Library == nullptr) {
    Error = std::string("dlopen: ") + dlerror();
    return nullptr;
  }
  auto Bind = reinterpret_cast<void (*)(SimHardwarePort *)>(dlsym(Image->Library, "BoardSimBindHardware"));
  Image->Entry = reinterpret_cast<EFI_IMAGE_ENTRY_POINT>(dlsym(Image->Library, "_ModuleEntryPoint"));
  if (Bind == nullptr || Image->Entry == nullptr) {
    Error = "image " + Name + " lacks its entry point or hardware binding";
    return nullptr;
  }
  Bind(&Hardware);
  Image->Segments = SegmentsOf(Image->CopyPath);
  return Image;
}

std::string DefaultImageDir() {
  if (const char *Env = std::getenv("BOARDSIM_IMAGE_DIR"); Env != nullptr && *Env != '\0') {
    return Env;
  }
  std::error_code Ec;
  fs::path Self = fs::read_symlink("/proc/self/exe", Ec);
  if (!Ec) {
    fs::path Candidate = Self.parent_path().parent_path() / "lib" / "boardsim";
    if (fs::is_directory(Candidate, Ec)) {
      return Candidate.string();
    }
  }
  return BOARDSIM_IMAGE_DIR;
}

}  // namespace sim
