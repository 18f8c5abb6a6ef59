// What runs driver code: the host engine (the drivers built as host shared
// objects, called directly) or the image engine (the shipped PE32+ images
// under CPU emulation). The runner loads, enters and calls back into images
// only through this interface, so the board, the firmware and the trace
// never know which one runs.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "Board/Board.h"
#include "Firmware/Firmware.h"
#include "Runner/Guard.h"

namespace sim {

class DriverImage {
 public:
  explicit DriverImage(std::string ImageName) : Name(std::move(ImageName)) {}
  virtual ~DriverImage() = default;

  const std::string Name;
  const void *Entry = nullptr;
  // The board script engine's entry (script steps): (SystemTable, Table,
  // Words, &PackedLength) -> BOOLEAN. nullptr in a driver image.
  const void *ScriptEntry = nullptr;
  bool Unloaded = false;

  virtual bool Holds(const void *Address) const = 0;
  // What a firmware core does to an image whose entry failed: its pages
  // are freed, so that any later call or access into them traps.
  virtual void Unload() = 0;
};

enum class EngineKind { Host, Image };

class Engine {
 public:
  virtual ~Engine() = default;
  static std::unique_ptr<Engine> Make(EngineKind Kind, Board &B, std::string ImageDir,
                                      std::map<std::string, std::string> ImagePaths = {});

  virtual EngineKind Kind() const = 0;
  // Where the image called Name is read from, and whether it is there.
  virtual std::string PathOf(const std::string &Name) const = 0;
  bool Exists(const std::string &Name) const;
  // Why the image called Name cannot be loaded (read, checked), or nullopt.
  virtual std::optional<std::string> Check(const std::string &Name) const { (void)Name; return std::nullopt; }
  // nullptr with Error set when the image cannot be loaded.
  virtual std::unique_ptr<DriverImage> Load(const std::string &Name, std::string &Error) = 0;
  // A new boot: its firmware is what images reach from now on.
  virtual void Attach(Firmware &Boot) = 0;

  // Calls driver code (an entry, a handler, a notification) with Args in the
  // UEFI calling convention and returns RAX. A fault ends the call; called
  // from the firmware's side it ends the innermost guarded call, as a trap
  // in host code does.
  virtual uint64_t CallDriver(const void *Function, std::initializer_list<uint64_t> Args) = 0;
  // The same, guarded: the fault comes back in the result.
  GuardResult CallGuarded(const void *Function, std::initializer_list<uint64_t> Args, uint64_t &Value);

  // Host memory [Base, Base + Size) (page aligned) the driver code may use
  // until it is reclaimed.
  virtual void Lend(void *Base, size_t Size) { (void)Base, (void)Size; }
  virtual void Reclaim(void *Base, size_t Size) { (void)Base, (void)Size; }

  // The board refused an access: the fault ends the driver code making it.
  virtual void Refuse(const std::string &What) = 0;

  // An SMI runs the handlers of Smm. Where the engine sees every access,
  // it reports each outside SMRAM through Outside.
  struct OutsideAccess {
    uint64_t Address;
    unsigned Size;
    bool Write;
    std::string Instruction;  // "Image+0xOFFSET"
  };
  virtual void SmiBegins(const DriverImage &Smm, const Firmware &Boot,
                         std::function<bool(const OutsideAccess &)> Outside) = 0;
  virtual void SmiEnds() = 0;

  // The instruction behind the event being made, as "Image+0xOFFSET";
  // nullopt where the engine cannot tell.
  virtual std::optional<std::string> Origin() const { return std::nullopt; }
  // Instructions emulated so far (0 for the host engine).
  virtual uint64_t Instructions() const { return 0; }
  // The most instructions one call from the firmware may take (image engine).
  void SetInstructionBudget(uint64_t Budget) { Budget_ = Budget; }

 protected:
  uint64_t Budget_ = 0;
};

// Where the host images are: $BOARDSIM_IMAGE_DIR, else lib/boardsim next to
// the running executable's bin/ directory, else the build-time default.
std::string DefaultImageDir();
// Where the firmware images are: $BOARDSIM_FIRMWARE_DIR, else firmware/ next
// to the executable's bin/ directory, else the build-time default.
std::string DefaultFirmwareDir();

}  // namespace sim
