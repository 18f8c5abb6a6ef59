// x86-64 code under CPU emulation (Unicorn), reaching the board the way the
// host seam does: port I/O, CPUID, MSRs, the TSC, PAUSE and device memory go
// to the same SimHardwarePort entry points. Host memory the emulated code
// may use (image, stack, firmware tables) is mapped at its own address, so a
// pointer means the same on both sides and a call out to a host function
// passes the emulated code's arguments through unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

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
  // Takes [Address, Address + Size) away again: any later access faults.
  void Unmap(uint64_t Address, size_t Size);
  // Accesses to [Base, Base + Size) (page aligned) go to the board's MMIO.
  void MapDevice(uint64_t Base, uint64_t Size);
  // A host function (UEFI calling convention, up to 12 arguments) the
  // emulated code may call; a jump to any other unmapped address is a fault.
  void AllowCallOut(uint64_t Address);
  // Allows every host function whose address is stored, 8-byte aligned, in
  // [Base, Base + Size): the tables the firmware hands out. Returns them.
  std::set<uint64_t> AllowCallOutsStoredIn(const uint8_t *Base, size_t Size);

  // Names a code address in fault texts ("SioPowerSmm+0x1A2").
  void SetCodeNamer(std::function<std::string(uint64_t)> Name);

  struct Result {
    enum class Access { None, Read, Write, Execute };
    bool Faulted = false;
    std::string What;  // the fault, with the instruction's address
    Access How = Access::None;  // for a memory fault: the access and its address
    uint64_t Address = 0;
    uint64_t Rax = 0;
  };
  // Calls emulated code at Address with Args in the UEFI calling convention,
  // until it returns: on a stack of the emulator's own, or, called from a
  // host function the emulated code called, below the caller's frame (its
  // registers are restored after). A nested call shares the budget left.
  Result Call(uint64_t Address, std::initializer_list<uint64_t> Args, uint64_t InstructionBudget = 0);

  // SMM discipline: while set, every data access outside Inside (the
  // device windows included) goes to Outside, which says whether it ends
  // the call as a fault; an instruction fetched outside Code, and a call to
  // a host function outside CallOuts, end it as a fault.
  struct Watch {
    std::vector<std::pair<uint64_t, uint64_t>> Inside;  // [begin, end)
    std::vector<std::pair<uint64_t, uint64_t>> Code;
    std::set<uint64_t> CallOuts;
    std::function<bool(uint64_t Address, unsigned Size, bool Write, uint64_t Instruction)> Outside;
  };
  void SetWatch(std::optional<Watch> W);
  // Ends the running call with a fault once the current instruction is done
  // (the board refused what it does).
  void Stop(const std::string &What);

  // Instructions emulated so far, over every call.
  uint64_t Instructions() const;
  // The instruction that ran last: during a hardware access, the one making it.
  uint64_t CurrentInstruction() const;
  // Whether emulated code is running (a host function it called is, too).
  bool Running() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> P;
};

}  // namespace sim
