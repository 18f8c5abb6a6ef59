// Host only: the interface through which a driver image built for Linux
// reaches the simulated board. The simulator implements it and binds it into
// each image it loads; the firmware instance of the seam does not exist here.
#pragma once

#include <stdint.h>

class SimHardwarePort {
 public:
  virtual uint32_t IoRead(uint16_t Port, uint8_t Width) = 0;
  virtual void IoWrite(uint16_t Port, uint8_t Width, uint32_t Value) = 0;
  virtual uint64_t MmioRead(uint64_t Address, uint8_t Width) = 0;
  virtual void MmioWrite(uint64_t Address, uint8_t Width, uint64_t Value) = 0;
  virtual uint64_t ReadMsr(uint32_t Msr) = 0;
  virtual void WriteMsr(uint32_t Msr, uint64_t Value) = 0;
  virtual void Cpuid(uint32_t Leaf, uint32_t SubLeaf, uint32_t Registers[4]) = 0;
  virtual uint64_t ReadTsc() = 0;
  virtual void Pause() = 0;
  virtual void SetInterruptFlag(bool Enabled) = 0;
  virtual bool GetInterruptFlag() = 0;
  virtual uint16_t ReadCs() = 0;
  // CPUID with EAX/EBX given and SI cleared; the SI it leaves. A processor
  // without the simulation query leaves SI at 0.
  virtual uint64_t CpuidReadSi(uint32_t Eax, uint32_t Ebx) {
    (void)Eax;
    (void)Ebx;
    return 0;
  }
  // A system call to the SMM supervisor (RAX = Service; RDX, R8, R9 = A1..A3);
  // the result it returns in RAX. A port without a supervisor traps.
  virtual uint64_t SupervisorCall(uint64_t Service, uint64_t A1, uint64_t A2, uint64_t A3) {
    (void)Service;
    (void)A1;
    (void)A2;
    (void)A3;
    __builtin_trap();
  }

 protected:
  ~SimHardwarePort() = default;
};

// Exported by every host image (and linked into unit tests): binds the board.
extern "C" MODULE_EXPORT void BoardSimBindHardware(SimHardwarePort *Port);
