// The host engine: every driver built for Linux as a shared object. Every
// load is a private copy of the image file, so each load has its own
// globals, as a freshly loaded PE image has on a board. The copies live in
// anonymous memory files: nothing is left on disk, however the run ends.
#include "Runner/Engine.h"

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

struct Segment {
  uintptr_t Start = 0;  // page-aligned
  size_t Size = 0;
  int Protection = 0;
};

class HostImage : public DriverImage {
 public:
  using DriverImage::DriverImage;
  ~HostImage() override;
  bool Holds(const void *Address) const override;
  void Unload() override;

  void *Library = nullptr;
  int CopyFd = -1;                // the memory file, open while loaded
  std::vector<Segment> Segments;  // the image's mapped code and data
};

int ProtectionOf(uint32_t Flags) {
  return ((Flags & PF_R) != 0 ? PROT_READ : 0) | ((Flags & PF_W) != 0 ? PROT_WRITE : 0) |
         ((Flags & PF_X) != 0 ? PROT_EXEC : 0);
}

// The loadable segments of the object loaded from Path.
std::vector<Segment> SegmentsOf(const std::string &Path) {
  struct Search {
    const std::string *Path;
    std::vector<Segment> Found;
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

bool HostImage::Holds(const void *Address) const {
  const auto A = reinterpret_cast<uintptr_t>(Address);
  return std::any_of(Segments.begin(), Segments.end(),
                     [&](const Segment &S) { return A >= S.Start && A < S.Start + S.Size; });
}

void HostImage::Unload() {
  for (const Segment &S : Segments) {
    mprotect(reinterpret_cast<void *>(S.Start), S.Size, PROT_NONE);
  }
  Unloaded = true;
}

HostImage::~HostImage() {
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

class HostEngine : public Engine {
 public:
  HostEngine(Board &B, std::string ImageDir) : Hardware_(B), ImageDir_(std::move(ImageDir)) {}
  EngineKind Kind() const override { return EngineKind::Host; }
  std::string PathOf(const std::string &Name) const override { return ImageDir_ + "/" + Name + ".so"; }
  std::unique_ptr<DriverImage> Load(const std::string &Name, std::string &Error) override;
  void Attach(Firmware &Boot) override { Boot.SetDriverCaller({}); }
  uint64_t CallDriver(const void *Function, std::initializer_list<uint64_t> Args) override {
    return CallHostCode(Function, Args);
  }
  void Refuse(const std::string &What) override { RaiseGuardFault(What); }
  // Host code cannot be watched access by access; the firmware locks the
  // memory the OS owns instead, so that a handler's access to it traps.
  void SmiBegins(const DriverImage &, const Firmware &, std::function<bool(const OutsideAccess &)>) override {}
  void SmiEnds() override {}

 private:
  Board &Hardware_;
  std::string ImageDir_;
};

std::unique_ptr<DriverImage> HostEngine::Load(const std::string &Name, std::string &Error) {
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
  auto Image = std::make_unique<HostImage>(Name);
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
  const std::string CopyPath = "/proc/self/fd/" + std::to_string(Image->CopyFd);
  Image->Library = dlopen(CopyPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (Image->Library == nullptr) {
    Error = std::string("dlopen: ") + dlerror();
    return nullptr;
  }
  auto Bind = reinterpret_cast<void (*)(SimHardwarePort *)>(dlsym(Image->Library, "BoardSimBindHardware"));
  Image->Entry = dlsym(Image->Library, "_ModuleEntryPoint");
  Image->ScriptEntry = dlsym(Image->Library, "BoardSimRunScript");
  if (Bind == nullptr || Image->Entry == nullptr) {
    Error = "image " + Name + " lacks its entry point or hardware binding";
    return nullptr;
  }
  Bind(&Hardware_);
  Image->Segments = SegmentsOf(CopyPath);
  return Image;
}

}  // namespace

bool Engine::Exists(const std::string &Name) const {
  std::error_code Ec;
  return fs::is_regular_file(PathOf(Name), Ec);
}

GuardResult Engine::CallGuarded(const void *Function, std::initializer_list<uint64_t> Args, uint64_t &Value) {
  return RunGuarded([&] { Value = CallDriver(Function, Args); });
}

std::unique_ptr<Engine> MakeHostEngine(Board &B, std::string ImageDir) {
  return std::make_unique<HostEngine>(B, std::move(ImageDir));
}

namespace {
// dir/<Name> beside the executable's bin/ directory, when it is there.
std::optional<std::string> BesideExecutable(const char *Name) {
  std::error_code Ec;
  fs::path Self = fs::read_symlink("/proc/self/exe", Ec);
  if (!Ec) {
    fs::path Candidate = Self.parent_path().parent_path() / Name;
    if (fs::is_directory(Candidate, Ec)) {
      return Candidate.string();
    }
  }
  return std::nullopt;
}
}  // namespace

std::string DefaultFirmwareDir() {
  if (const char *Env = std::getenv("BOARDSIM_FIRMWARE_DIR"); Env != nullptr && *Env != '\0') {
    return Env;
  }
  return BesideExecutable("firmware").value_or(BOARDSIM_FIRMWARE_DIR);
}

std::string DefaultImageDir() {
  if (const char *Env = std::getenv("BOARDSIM_IMAGE_DIR"); Env != nullptr && *Env != '\0') {
    return Env;
  }
  return BesideExecutable("lib/boardsim").value_or(BOARDSIM_IMAGE_DIR);
}

}  // namespace sim
