#include "ImageLoader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <BaseHwAccessLibSim/SimHardwarePort.h>

namespace sim {

namespace fs = std::filesystem;

LoadedImage::~LoadedImage() {
  if (Library != nullptr) {
    dlclose(Library);
  }
  if (!CopyPath.empty()) {
    std::error_code Ec;
    fs::remove(CopyPath, Ec);
  }
}

ImageLoader::ImageLoader(std::string ImageDir) : ImageDir_(std::move(ImageDir)) {}

ImageLoader::~ImageLoader() {
  if (!TempDir_.empty()) {
    std::error_code Ec;
    fs::remove_all(TempDir_, Ec);
  }
}

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
  if (TempDir_.empty()) {
    std::string Pattern = (fs::temp_directory_path() / "boardsim-XXXXXX").string();
    if (mkdtemp(Pattern.data()) == nullptr) {
      Error = "cannot create a directory for image copies";
      return nullptr;
    }
    TempDir_ = Pattern;
  }
  auto Image = std::make_unique<LoadedImage>();
  Image->Name = Name;
  Image->CopyPath = TempDir_ + "/" + Name + "-" + std::to_string(++Loads_) + ".so";
  std::error_code Ec;
  fs::copy_file(PathOf(Name), Image->CopyPath, fs::copy_options::overwrite_existing, Ec);
  if (Ec) {
    Error = "cannot copy " + PathOf(Name) + ": " + Ec.message();
    Image->CopyPath.clear();
    return nullptr;
  }
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
