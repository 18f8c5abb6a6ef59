// x86-64 code under CPU emulation (Unicorn), reaching the board the way the
// host seam does: port I/O, CPUID, MSRs, the TSC, PAUSE and device memory go
// to the same SimHardwarePort entry points. Host memory the emulated code
// may use (image, stack, firmware tables) is mapped at its own address, so a
// pointer means the same on both sides and a call out to a host function
// passes the emulated code's arguments through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <Uefi/UefiBaseType.h>
#include <BaseHwAccessLibSim/SimHardwarePort.h>

namespace sim {

class Emulator {
 public:
  explicit Emulator(SimHardwarePort &Hardware);
  ~Emulator();
  Emulator(const Emulator &) = delete;
  Emulator &operator=(const Emulator &) = delete;

  // Makes host memory [Host, Host + Size) visible at the same address; both
  // page aligned.
  void MapHost(void *Host, size_t Size, bool Executable) {
    MapHostAt(reinterpret_cast<uint64_t>(Host), Host, Size, Executable);
  }
  // The same, seen by the emulated code at Address instead.
  void MapHostAt(uint64_t Address, void *Host, size_t Size, bool Executable);
  // Accesses to [Base, Base + Size) (page aligned) go to the board's MMIO.
  void MapDevice(uint64_t Base, uint64_t Size);
  // A host function (UEFI calling convention, up to 12 arguments) the
  // emulated code may call; a jump to any other unmapped address is a fault.
  void AllowCallOut(uint64_t Address);
  // Allows every host function whose address is stored, 8-byte aligned, in
  // [Base, Base + Size): the tables the firmware hands out. Returns how many.
  size_t AllowCallOutsStoredIn(const uint8_t *Base, size_t Size);

  struct Result {
    bool Faulted = false;
    std::string What;  // the fault, with the instruction's address
    uint64_t Rax = 0;
  };
  // Calls emulated code at Address with Args in the UEFI calling convention
  // on a stack of the emulator's own, until it returns.
  Result Call(uint64_t Address, std::initializer_list<uint64_t> Args, uint64_t InstructionBudget = 0);

  // Instructions emulated so far, over every call.
  uint64_t Instructions() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> P;
};

}  // namespace sim
