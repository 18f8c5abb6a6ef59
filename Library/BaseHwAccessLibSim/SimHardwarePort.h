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

 protected:
  ~SimHardwarePort() = default;
};

// Exported by every host image (and linked into unit tests): binds the board.
extern "C" MODULE_EXPORT void BoardSimBindHardware(SimHardwarePort *Port);
