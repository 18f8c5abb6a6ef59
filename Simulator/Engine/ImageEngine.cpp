// The image engine: the shipped PE32+ images under CPU emulation. One CPU
// for the whole run, as on a board: every image of a boot and the memory the
// firmware hands out share one address space.
#include <algorithm>
#include <fstream>
#include <iterator>
#include <vector>

#include "Engine/EmulatedImage.h"
#include "Engine/Emulator.h"
#include "Runner/Engine.h"

namespace sim {

std::unique_ptr<Engine> MakeHostEngine(Board &B, std::string ImageDir);

namespace {

// The image that carries the board script engine for script steps.
constexpr const char *kScriptImage = "BoardScript";

// Device windows, reached through the board's MMIO.
constexpr std::pair<uint64_t, uint64_t> kDevices[] = {
    {0xFED80000, 0x2000},      // FCH registers
    {0xE0000000, 0x10000000},  // PCI configuration space, the SMN index/data pair in it
};

class ImageEngine : public Engine {
 public:
  ImageEngine(Board &B, std::string FirmwareDir, std::map<std::string, std::string> Paths)
      : Dir_(std::move(FirmwareDir)), Paths_(std::move(Paths)), Cpu_(B) {
    // The memory-log block, at its physical address whatever host memory backs it.
    Cpu_.MapHostAt(kRamBlockBase, B.RamBlock(), kRamBlockSize, false);
    for (auto [Base, Size] : kDevices) Cpu_.MapDevice(Base, Size);
    Cpu_.SetCodeNamer([this](uint64_t Address) { return Name(Address); });
  }
  ~ImageEngine() override { Detach(); }

  EngineKind Kind() const override { return EngineKind::Image; }

  std::string PathOf(const std::string &Image) const override {
    if (auto It = Paths_.find(Image); It != Paths_.end()) return It->second;
    return Image == kScriptImage ? Dir_ + "/boardsim/" + Image + ".efi" : Dir_ + "/" + Image + ".efi";
  }

  std::optional<std::string> Check(const std::string &Image) const override {
    std::vector<uint8_t> File;
    if (!Read(Image, File)) return "cannot read " + PathOf(Image);
    auto Parsed = ParsePeImage(File);
    if (auto *Why = std::get_if<std::string>(&Parsed)) return PathOf(Image) + ": " + *Why;
    return std::nullopt;
  }

  std::unique_ptr<DriverImage> Load(const std::string &Image, std::string &Error) override {
    std::vector<uint8_t> File;
    if (!Read(Image, File)) {
      Error = "no image " + PathOf(Image);
      return nullptr;
    }
    std::string Why;
    auto Loaded = EmulatedImage::Load(Image, File, Cpu_, Why);
    if (Loaded == nullptr) {
      Error = PathOf(Image) + ": " + Why;
      return nullptr;
    }
    if (Image == kScriptImage) {
      Loaded->ScriptEntry = Loaded->Entry;  // its entry point is the script runner
    }
    Images_.push_back(Loaded.get());
    return std::unique_ptr<DriverImage>(new Tracked(std::move(Loaded), *this));
  }

  void Attach(Firmware &Boot) override {
    Detach();
    for (const VisibleMemory &M : Boot.ImageVisibleMemory()) {
      Cpu_.MapHost(M.Base, M.Size, false);
      Mapped_.push_back(M);
      // What the firmware has put there so far holds every service it hands out.
      const auto Found = Cpu_.AllowCallOutsStoredIn(M.Base, M.Used);
      if (M.Smram) SmmCallOuts_.insert(Found.begin(), Found.end());
    }
    Boot.SetDriverCaller([this](const void *Function, std::initializer_list<uint64_t> Args) {
      return CallDriver(Function, Args);
    });
  }

  uint64_t CallDriver(const void *Function, std::initializer_list<uint64_t> Args) override {
    const bool Nested = Cpu_.Running();
    Emulator::Result R = Cpu_.Call(reinterpret_cast<uint64_t>(Function), Args, Nested ? 0 : Budget_);
    if (!R.Faulted) {
      return R.Rax;
    }
    if (Nested) {
      return 0;  // the emulated call around this one ends with the fault
    }
    // Nothing of this frame may need destroying past the jump.
    static std::string What;
    What = R.What;
    std::string().swap(R.What);
    RaiseGuardFault(What, AccessOf(R.How), R.Address);
  }

  void Lend(void *Base, size_t Size) override { Cpu_.MapHost(Base, Size, false); }
  void Reclaim(void *Base, size_t Size) override { Cpu_.Unmap(reinterpret_cast<uint64_t>(Base), Size); }

  void Refuse(const std::string &What) override {
    if (Cpu_.Running()) {
      Cpu_.Stop(What);
    } else {
      RaiseGuardFault(What);
    }
  }

  void SmiBegins(const DriverImage &Smm, const Firmware &Boot,
                 std::function<bool(const OutsideAccess &)> Outside) override {
    Emulator::Watch W;
    for (const VisibleMemory &M : Boot.ImageVisibleMemory()) {
      if (M.Smram) W.Inside.push_back({reinterpret_cast<uint64_t>(M.Base), reinterpret_cast<uint64_t>(M.Base) + M.Size});
    }
    for (auto [Base, Size] : kDevices) W.Inside.push_back({Base, Base + Size});
    W.Inside.push_back({kRamBlockBase, kRamBlockBase + kRamBlockSize});
    for (const EmulatedImage *I : Images_) {
      if (I->Name == Smm.Name && !I->Unloaded) {
        W.Inside.push_back({I->Base(), I->End()});
        W.Code.push_back({I->Base(), I->End()});
      }
    }
    W.CallOuts = SmmCallOuts_;
    W.Outside = [this, Outside = std::move(Outside)](uint64_t Address, unsigned Size, bool Write, uint64_t At) {
      return Outside(OutsideAccess{Address, Size, Write, Name(At)});
    };
    Cpu_.SetWatch(std::move(W));
  }

  void SmiEnds() override { Cpu_.SetWatch(std::nullopt); }

  std::optional<std::string> Origin() const override {
    if (!Cpu_.Running()) return std::nullopt;
    return Name(Cpu_.CurrentInstruction());
  }

  uint64_t Instructions() const override { return Cpu_.Instructions(); }

 private:
  // Forgets an image as it goes.
  class Tracked : public DriverImage {
   public:
    Tracked(std::unique_ptr<EmulatedImage> I, ImageEngine &E) : DriverImage(I->Name), Image_(std::move(I)), Engine_(E) {
      Entry = Image_->Entry;
      ScriptEntry = Image_->ScriptEntry;
    }
    ~Tracked() override { std::erase(Engine_.Images_, Image_.get()); }
    bool Holds(const void *Address) const override { return Image_->Holds(Address); }
    void Unload() override {
      Image_->Unload();
      Unloaded = true;
    }

   private:
    std::unique_ptr<EmulatedImage> Image_;
    ImageEngine &Engine_;
  };

  static GuardResult::Access AccessOf(Emulator::Result::Access How) {
    switch (How) {
      case Emulator::Result::Access::Read:
        return GuardResult::Access::Read;
      case Emulator::Result::Access::Write:
        return GuardResult::Access::Write;
      case Emulator::Result::Access::Execute:
        return GuardResult::Access::Execute;
      case Emulator::Result::Access::None:
        break;
    }
    return GuardResult::Access::None;
  }

  bool Read(const std::string &Image, std::vector<uint8_t> &File) const {
    std::ifstream In(PathOf(Image), std::ios::binary);
    File.assign(std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>());
    return In.good() || In.eof();
  }

  // "Image+0xOFFSET" for an address inside a loaded image, else the address.
  std::string Name(uint64_t Address) const {
    for (const EmulatedImage *I : Images_) {
      if (Address >= I->Base() && Address < I->End()) return I->Name + "+" + Hex(Address - I->Base());
    }
    return Hex(Address);
  }

  void Detach() {
    for (const VisibleMemory &M : Mapped_) Cpu_.Unmap(reinterpret_cast<uint64_t>(M.Base), M.Size);
    Mapped_.clear();
    SmmCallOuts_.clear();
  }

  std::string Dir_;
  std::map<std::string, std::string> Paths_;
  Emulator Cpu_;
  std::vector<const EmulatedImage *> Images_;
  std::vector<VisibleMemory> Mapped_;
  std::set<uint64_t> SmmCallOuts_;
};

}  // namespace

std::unique_ptr<Engine> Engine::Make(EngineKind Kind, Board &B, std::string ImageDir,
                                     std::map<std::string, std::string> ImagePaths) {
  if (Kind == EngineKind::Host) return MakeHostEngine(B, std::move(ImageDir));
  return std::make_unique<ImageEngine>(B, std::move(ImageDir), std::move(ImagePaths));
}

}  // namespace sim
