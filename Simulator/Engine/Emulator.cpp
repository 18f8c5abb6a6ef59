#include "Engine/Emulator.h"

#include "Core/Trace.h"

#include <link.h>
#include <sys/mman.h>
#include <unicorn/unicorn.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <cstring>
#include <list>
#include <set>
#include <stdexcept>
#include <vector>

namespace sim {
namespace {

constexpr size_t kPage = 4096;
constexpr size_t kStackSize = 256 * 1024;
constexpr uint32_t kSimulationLeaf = 0xBACCD00B;

using HostFunction = uint64_t(__attribute__((ms_abi)) *)(uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t,
                                                          uint64_t, uint64_t, uint64_t, uint64_t, uint64_t, uint64_t);

// Calls a host function with the twelve words a UEFI caller may have passed:
// under the UEFI convention a callee taking fewer reads only its own, so one
// signature serves every service. The type differs from the callee's on
// purpose, hence no function-type check here.
__attribute__((no_sanitize("function"))) uint64_t CallHost(uint64_t Address, const uint64_t (&A)[12]) {
  return reinterpret_cast<HostFunction>(Address)(A[0], A[1], A[2], A[3], A[4], A[5], A[6], A[7], A[8], A[9], A[10],
                                                 A[11]);
}

}  // namespace

struct Emulator::Impl {
  struct Device {
    Impl *Owner;
    uint64_t Base;
  };

  explicit Impl(SimHardwarePort &H) : Hardware(H) {}

  SimHardwarePort &Hardware;
  uc_engine *Uc = nullptr;
  std::set<uint64_t> CallOuts;
  std::list<Device> Devices;  // stable addresses for the callbacks
  uint8_t *Stack = nullptr;   // kStackSize bytes, then one page the calls return to
  uint64_t Instructions = 0;
  uint64_t Budget = 0;        // instructions this call may take; 0: no limit
  uint64_t Remaining = 0;
  bool OutOfBudget = false;
  uint64_t LastRip = 0;
  uint64_t CallSite = 0;      // while a host function runs: where it returns to
  int Depth = 0;              // calls in progress
  std::function<std::string(uint64_t)> NameCode;
  std::optional<Watch> Watching;
  uc_hook WatchHook = 0;
  // Why the watch stopped the call, with the access it names.
  std::string WatchFault;
  std::optional<Result> Pending;  // a nested call's fault, for the call around it
  Result::Access WatchAccess = Result::Access::None;
  uint64_t WatchAddress = 0;

  std::string CodeName(uint64_t Address) const { return NameCode ? NameCode(Address) : Hex(Address); }
  static bool In(const std::vector<std::pair<uint64_t, uint64_t>> &Ranges, uint64_t Address) {
    return std::any_of(Ranges.begin(), Ranges.end(), [&](const auto &R) { return Address >= R.first && Address < R.second; });
  }
  void StopForWatch(std::string What, Result::Access How, uint64_t Address) {
    WatchFault = std::move(What);
    WatchAccess = How;
    WatchAddress = Address;
    uc_emu_stop(Uc);
  }

  uint64_t Reg(int Id) {
    uint64_t Value = 0;
    uc_reg_read(Uc, Id, &Value);
    return Value;
  }
  void SetReg(int Id, uint64_t Value) { uc_reg_write(Uc, Id, &Value); }
  void Skip(uint64_t Rip, unsigned Bytes) { SetReg(UC_X86_REG_RIP, Rip + Bytes); }

  uint64_t ExitAddress() const { return reinterpret_cast<uint64_t>(Stack + kStackSize); }

  static uint32_t PortIn(uc_engine *, uint32_t Port, int Size, void *User) {
    return static_cast<Impl *>(User)->Hardware.IoRead(static_cast<uint16_t>(Port), static_cast<uint8_t>(Size * 8));
  }
  static void Out(uc_engine *, uint32_t Port, int Size, uint32_t Value, void *User) {
    static_cast<Impl *>(User)->Hardware.IoWrite(static_cast<uint16_t>(Port), static_cast<uint8_t>(Size * 8), Value);
  }
  static int Cpuid(uc_engine *, void *User) {
    Impl &I = *static_cast<Impl *>(User);
    const uint32_t Leaf = static_cast<uint32_t>(I.Reg(UC_X86_REG_RAX));
    if (Leaf == kSimulationLeaf) {
      I.SetReg(UC_X86_REG_RSI, I.Hardware.CpuidReadSi(Leaf, static_cast<uint32_t>(I.Reg(UC_X86_REG_RBX))));
      return 1;
    }
    uint32_t Registers[4];
    I.Hardware.Cpuid(Leaf, static_cast<uint32_t>(I.Reg(UC_X86_REG_RCX)), Registers);
    I.SetReg(UC_X86_REG_RAX, Registers[0]);
    I.SetReg(UC_X86_REG_RBX, Registers[1]);
    I.SetReg(UC_X86_REG_RCX, Registers[2]);
    I.SetReg(UC_X86_REG_RDX, Registers[3]);
    return 1;  // the board answered; the emulated CPU's own answer is skipped
  }
  // Instructions Unicorn would answer from its own CPU state: the board's
  // MSRs, TSC and interrupt flag answer instead. Recognised by their bytes,
  // which are host memory at the same address.
  static void Code(uc_engine *Uc, uint64_t Rip, uint32_t, void *User) {
    Impl &I = *static_cast<Impl *>(User);
    I.LastRip = Rip;
    if (I.Budget != 0 && I.Remaining-- == 0) {
      I.OutOfBudget = true;
      uc_emu_stop(Uc);
      return;
    }
    ++I.Instructions;
    if (I.Watching && !In(I.Watching->Code, Rip) && Rip != I.ExitAddress()) {
      I.StopForWatch("SMM callout: instruction fetched outside SMRAM at " + I.CodeName(Rip), Result::Access::Execute, Rip);
      return;
    }
    const uint8_t *Bytes = reinterpret_cast<const uint8_t *>(Rip);
    if (Bytes[0] == 0x0F && Bytes[1] == 0x32) {  // RDMSR
      const uint64_t Value = I.Hardware.ReadMsr(static_cast<uint32_t>(I.Reg(UC_X86_REG_RCX)));
      I.SetReg(UC_X86_REG_RAX, Value & 0xFFFFFFFF);
      I.SetReg(UC_X86_REG_RDX, Value >> 32);
      I.Skip(Rip, 2);
    } else if (Bytes[0] == 0x0F && Bytes[1] == 0x30) {  // WRMSR
      I.Hardware.WriteMsr(static_cast<uint32_t>(I.Reg(UC_X86_REG_RCX)),
                          (I.Reg(UC_X86_REG_RDX) << 32) | (I.Reg(UC_X86_REG_RAX) & 0xFFFFFFFF));
      I.Skip(Rip, 2);
    } else if (Bytes[0] == 0x0F && Bytes[1] == 0x31) {  // RDTSC
      const uint64_t Value = I.Hardware.ReadTsc();
      I.SetReg(UC_X86_REG_RAX, Value & 0xFFFFFFFF);
      I.SetReg(UC_X86_REG_RDX, Value >> 32);
      I.Skip(Rip, 2);
    } else if (Bytes[0] == 0xF3 && Bytes[1] == 0x90) {  // PAUSE
      I.Hardware.Pause();
      I.Skip(Rip, 2);
    } else if (Bytes[0] == 0xFA || Bytes[0] == 0xFB) {  // CLI, STI: executed, and the board told
      I.Hardware.SetInterruptFlag(Bytes[0] == 0xFB);
    } else if (Bytes[0] == 0x0F && Bytes[1] == 0x05) {  // SYSCALL: the SMM supervisor's service
      const uint64_t Value = I.Hardware.SupervisorCall(I.Reg(UC_X86_REG_RAX), I.Reg(UC_X86_REG_RDX),
                                                       I.Reg(UC_X86_REG_R8), I.Reg(UC_X86_REG_R9));
      I.SetReg(UC_X86_REG_RAX, Value);
      I.SetReg(UC_X86_REG_RCX, Rip + 2);
      I.SetReg(UC_X86_REG_R11, I.Reg(UC_X86_REG_EFLAGS));
      I.Skip(Rip, 2);
    } else if (const unsigned Prefix = Bytes[0] == 0x66 ? 1 : 0;
               Bytes[Prefix] == 0x8C && (Bytes[Prefix + 1] & 0xF8) == 0xC8) {  // MOV r16/r32, CS
      static constexpr int kRegisters[] = {UC_X86_REG_RAX, UC_X86_REG_RCX, UC_X86_REG_RDX, UC_X86_REG_RBX,
                                           UC_X86_REG_RSP, UC_X86_REG_RBP, UC_X86_REG_RSI, UC_X86_REG_RDI};
      const int Target = kRegisters[Bytes[Prefix + 1] & 7];
      const uint64_t Cs = I.Hardware.ReadCs();
      I.SetReg(Target, Prefix != 0 ? (I.Reg(Target) & ~uint64_t{0xFFFF}) | Cs : Cs);
      I.Skip(Rip, Prefix + 2);
    }
  }
  // Every data access while watched.
  static void Access(uc_engine *, uc_mem_type Type, uint64_t Address, int Size, int64_t, void *User) {
    Impl &I = *static_cast<Impl *>(User);
    if (!I.Watching || In(I.Watching->Inside, Address) || !I.WatchFault.empty()) {
      return;
    }
    const bool Write = Type == UC_MEM_WRITE;
    if (I.Watching->Outside(Address, static_cast<unsigned>(Size), Write, I.LastRip)) {
      I.StopForWatch(std::string("SMM handler ") + (Write ? "write" : "read") + " outside SMRAM at " + Hex(Address) +
                         " by " + I.CodeName(I.LastRip),
                     Write ? Result::Access::Write : Result::Access::Read, Address);
    }
  }
  static bool FetchUnmapped(uc_engine *Uc, uc_mem_type, uint64_t, int, int64_t, void *) {
    uc_emu_stop(Uc);
    return false;
  }
  // The access a fault names.
  std::string LastAccess;
  Result::Access LastHow = Result::Access::None;
  uint64_t LastAddress = 0;
  static bool DataUnmapped(uc_engine *, uc_mem_type Type, uint64_t Address, int Size, int64_t, void *User) {
    Impl &I = *static_cast<Impl *>(User);
    const bool Write = Type == UC_MEM_WRITE_UNMAPPED;
    I.LastAccess = std::string(Write ? "write" : "read") + " of " + std::to_string(Size) + " byte(s) at " + Hex(Address);
    I.LastHow = Write ? Result::Access::Write : Result::Access::Read;
    I.LastAddress = Address;
    return false;
  }
  static uint64_t DeviceRead(uc_engine *, uint64_t Offset, unsigned Size, void *User) {
    Device &D = *static_cast<Device *>(User);
    return D.Owner->Hardware.MmioRead(D.Base + Offset, static_cast<uint8_t>(Size * 8));
  }
  static void DeviceWrite(uc_engine *, uint64_t Offset, unsigned Size, uint64_t Value, void *User) {
    Device &D = *static_cast<Device *>(User);
    D.Owner->Hardware.MmioWrite(D.Base + Offset, static_cast<uint8_t>(Size * 8), Value);
  }
};

Emulator::Emulator(SimHardwarePort &Hardware) : P(std::make_unique<Impl>(Hardware)) {
  Impl &I = *P;
  if (uc_open(UC_ARCH_X86, UC_MODE_64, &I.Uc) != UC_ERR_OK) throw std::runtime_error("cannot start the CPU emulator");
  void *Stack = mmap(nullptr, kStackSize + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (Stack == MAP_FAILED) throw std::runtime_error("cannot map the emulator's stack");
  I.Stack = static_cast<uint8_t *>(Stack);
  uc_mem_map_ptr(I.Uc, reinterpret_cast<uint64_t>(Stack), kStackSize + kPage, UC_PROT_ALL, Stack);
  uc_hook Hook;
  uc_hook_add(I.Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void *>(&Impl::PortIn), &I, 1, 0, UC_X86_INS_IN);
  uc_hook_add(I.Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void *>(&Impl::Out), &I, 1, 0, UC_X86_INS_OUT);
  uc_hook_add(I.Uc, &Hook, UC_HOOK_INSN, reinterpret_cast<void *>(&Impl::Cpuid), &I, 1, 0, UC_X86_INS_CPUID);
  uc_hook_add(I.Uc, &Hook, UC_HOOK_CODE, reinterpret_cast<void *>(&Impl::Code), &I, 1, 0);
  uc_hook_add(I.Uc, &Hook, UC_HOOK_MEM_FETCH_UNMAPPED, reinterpret_cast<void *>(&Impl::FetchUnmapped), &I, 1, 0);
  uc_hook_add(I.Uc, &Hook, UC_HOOK_MEM_READ_UNMAPPED | UC_HOOK_MEM_WRITE_UNMAPPED,
              reinterpret_cast<void *>(&Impl::DataUnmapped), &I, 1, 0);
}

Emulator::~Emulator() {
  uc_close(P->Uc);
  munmap(P->Stack, kStackSize + kPage);
}

void Emulator::MapHostAt(uint64_t Address, void *Host, size_t Size, bool Executable) {
  const uint32_t Protection = UC_PROT_READ | UC_PROT_WRITE | (Executable ? UC_PROT_EXEC : 0);
  uc_ctl_remove_cache(P->Uc, Address, Address + Size);
  if (uc_mem_map_ptr(P->Uc, Address, Size, Protection, Host) != UC_ERR_OK) {
    throw std::runtime_error("cannot map " + std::to_string(Size) + " bytes at " + Hex(Address) +
                             " into the emulator");
  }
}

void Emulator::MapDevice(uint64_t Base, uint64_t Size) {
  Impl::Device &D = P->Devices.emplace_back(Impl::Device{P.get(), Base});
  if (uc_mmio_map(P->Uc, Base, Size, &Impl::DeviceRead, &D, &Impl::DeviceWrite, &D) != UC_ERR_OK) {
    throw std::runtime_error("cannot map the device window at " + Hex(Base) + " into the emulator");
  }
}

// Code translated for what was mapped there before must not run again: a new
// image may be loaded where an unloaded one was.
void Emulator::Unmap(uint64_t Address, size_t Size) {
  uc_ctl_remove_cache(P->Uc, Address, Address + Size);
  uc_mem_unmap(P->Uc, Address, Size);
}

void Emulator::AllowCallOut(uint64_t Address) { P->CallOuts.insert(Address); }

void Emulator::SetCodeNamer(std::function<std::string(uint64_t)> Name) { P->NameCode = std::move(Name); }

void Emulator::SetWatch(std::optional<Watch> W) {
  Impl &I = *P;
  // Hooked only while watched: a hook on every access costs every access.
  if (W && !I.Watching) {
    uc_hook_add(I.Uc, &I.WatchHook, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, reinterpret_cast<void *>(&Impl::Access), &I,
                1, 0);
  } else if (!W && I.Watching) {
    uc_hook_del(I.Uc, I.WatchHook);
  }
  I.Watching = std::move(W);
  if (I.Watching) {
    I.Watching->Inside.push_back({reinterpret_cast<uint64_t>(I.Stack), I.ExitAddress() + kPage});
  }
}

void Emulator::Stop(const std::string &What) {
  if (P->WatchFault.empty()) P->StopForWatch(What + " at " + P->CodeName(P->LastRip), Result::Access::None, 0);
}

uint64_t Emulator::Instructions() const { return P->Instructions; }
uint64_t Emulator::CurrentInstruction() const { return P->CallSite != 0 ? P->CallSite : P->LastRip; }
bool Emulator::Running() const { return P->Depth > 0; }

namespace {
// The host's code: every executable segment of every loaded object.
std::vector<std::pair<uint64_t, uint64_t>> HostCode() {
  std::vector<std::pair<uint64_t, uint64_t>> Out;
  dl_iterate_phdr(
      [](dl_phdr_info *Info, size_t, void *Data) {
        auto &List = *static_cast<std::vector<std::pair<uint64_t, uint64_t>> *>(Data);
        for (int I = 0; I < Info->dlpi_phnum; ++I) {
          const auto &H = Info->dlpi_phdr[I];
          if (H.p_type == PT_LOAD && (H.p_flags & PF_X) != 0) {
            List.push_back({Info->dlpi_addr + H.p_vaddr, Info->dlpi_addr + H.p_vaddr + H.p_memsz});
          }
        }
        return 0;
      },
      &Out);
  return Out;
}
}  // namespace

// The scan reads the gaps between pool blocks too, which the arena keeps poisoned.
__attribute__((no_sanitize("address"))) std::set<uint64_t> Emulator::AllowCallOutsStoredIn(const uint8_t *Base,
                                                                                         size_t Size) {
  const auto Code = HostCode();
  std::set<uint64_t> Found;
  for (size_t At = 0; At + 8 <= Size; At += 8) {
    const uint64_t Word = *reinterpret_cast<const uint64_t *>(Base + At);
    for (const auto &[Start, End] : Code) {
      if (Word >= Start && Word < End) {
        P->CallOuts.insert(Word);
        Found.insert(Word);
        break;
      }
    }
  }
  return Found;
}

Emulator::Result Emulator::Call(uint64_t Address, std::initializer_list<uint64_t> Args, uint64_t InstructionBudget) {
  Impl &I = *P;
  uint64_t A[12] = {};
  const size_t Count = std::min<size_t>(std::max<size_t>(Args.size(), 4), 12);
  std::copy_n(Args.begin(), std::min<size_t>(Args.size(), 12), A);
  // A nested call leaves the caller's frame alone and gives its registers back.
  uc_context *Saved = nullptr;
  const uint64_t OuterSite = I.CallSite;
  I.CallSite = 0;
  uint64_t Top = reinterpret_cast<uint64_t>(I.Stack) + kStackSize;
  if (I.Depth > 0) {
    uc_context_alloc(I.Uc, &Saved);
    uc_context_save(I.Uc, Saved);
    Top = I.Reg(UC_X86_REG_RSP) - 0x80;
  } else {
    I.Budget = InstructionBudget;
    I.Remaining = InstructionBudget;
    I.OutOfBudget = false;
    I.WatchFault.clear();
    I.Pending.reset();
  }
  // Return address, shadow space, then the fifth argument on: RSP is 8 past
  // a 16-byte boundary at the callee's first instruction.
  uint64_t Rsp = (Top - 8 * Count - 0x40) & ~uint64_t{15};
  Rsp -= 8;
  const uint64_t Exit = I.ExitAddress();
  std::memcpy(reinterpret_cast<void *>(Rsp), &Exit, 8);
  for (size_t N = 4; N < Count; ++N) std::memcpy(reinterpret_cast<void *>(Rsp + 0x28 + 8 * (N - 4)), &A[N], 8);
  I.SetReg(UC_X86_REG_RSP, Rsp);
  I.SetReg(UC_X86_REG_RCX, A[0]);
  I.SetReg(UC_X86_REG_RDX, A[1]);
  I.SetReg(UC_X86_REG_R8, A[2]);
  I.SetReg(UC_X86_REG_R9, A[3]);
  ++I.Depth;

  Result R;
  uint64_t Rip = Address;
  for (;;) {
    const uc_err Error = uc_emu_start(I.Uc, Rip, Exit, 0, 0);
    Rip = I.Reg(UC_X86_REG_RIP);
    if (!I.WatchFault.empty()) {
      R.Faulted = true;
      R.What = I.WatchFault;
      R.How = I.WatchAccess;
      R.Address = I.WatchAddress;
      break;
    }
    if (I.OutOfBudget) {
      R.Faulted = true;
      R.What = "instruction budget of " + std::to_string(I.Budget) + " spent at " + I.CodeName(Rip);
      break;
    }
    if (Rip == Exit && Error == UC_ERR_OK) {
      R.Rax = I.Reg(UC_X86_REG_RAX);
      break;
    }
    if (I.CallOuts.count(Rip) != 0) {
      if (I.Watching && I.Watching->CallOuts.count(Rip) == 0) {
        R.Faulted = true;
        R.What = "SMM callout: call to firmware code outside SMRAM at " + Hex(Rip);
        R.How = Result::Access::Execute;
        R.Address = Rip;
        break;
      }
      // A call into the host: arguments as the caller laid them out.
      const uint64_t Sp = I.Reg(UC_X86_REG_RSP);
      uint64_t Words[12] = {I.Reg(UC_X86_REG_RCX), I.Reg(UC_X86_REG_RDX), I.Reg(UC_X86_REG_R8),
                            I.Reg(UC_X86_REG_R9)};
      std::memcpy(Words + 4, reinterpret_cast<const void *>(Sp + 0x28), 8 * sizeof(uint64_t));
      uint64_t Return;
      std::memcpy(&Return, reinterpret_cast<const void *>(Sp), 8);
      I.CallSite = Return;
      const uint64_t Value = CallHost(Rip, Words);
      I.CallSite = 0;
      if (I.Pending) {
        // Driver code the host function called faulted: as a trap would,
        // that ends this call too.
        R = std::move(*I.Pending);
        I.Pending.reset();
        break;
      }
      I.SetReg(UC_X86_REG_RAX, Value);
      I.SetReg(UC_X86_REG_RSP, Sp + 8);
      Rip = Return;
      continue;
    }
    R.Faulted = true;
    if (I.LastAccess.empty()) {
      R.How = Result::Access::Execute;
      R.Address = Rip;
      R.What = std::string(uc_strerror(Error)) + " at " + I.CodeName(Rip);
    } else {
      R.How = I.LastHow;
      R.Address = I.LastAddress;
      R.What = std::string(uc_strerror(Error)) + ": " + I.LastAccess + " by " + I.CodeName(I.LastRip);
    }
    I.LastAccess.clear();
    break;
  }
  --I.Depth;
  I.CallSite = OuterSite;
  if (Saved != nullptr) {
    uc_context_restore(I.Uc, Saved);
    uc_context_free(Saved);
    if (R.Faulted) I.Pending = R;
  }
  return R;
}

}  // namespace sim
