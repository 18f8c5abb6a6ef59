// The simulated board: CPU (CPUID, MSRs, virtual TSC), FCH MMIO block, SMN,
// PCI configuration, CMOS/RTC, SMBus, Super I/O with its keyboard controller,
// UART, POST ports, latched I/O ports and the RAM block at 0x8A00000.
// Every access is recorded in the trace, raw and, where it completes a
// transaction, decoded.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Core/Scenario.h"
#include "Core/Trace.h"

#include <Uefi/UefiBaseType.h>
#include <BaseHwAccessLibSim/SimHardwarePort.h>

namespace sim {

constexpr uint64_t kRamBlockBase = 0x8A00000;
constexpr uint64_t kRamBlockSize = 16ull << 20;

class Board final : public SimHardwarePort {
 public:
  Board(const Scenario &S, Trace &T);
  ~Board();
  Board(const Board &) = delete;
  Board &operator=(const Board &) = delete;

  // SimHardwarePort
  uint32_t IoRead(uint16_t Port, uint8_t Width) override;
  void IoWrite(uint16_t Port, uint8_t Width, uint32_t Value) override;
  uint64_t MmioRead(uint64_t Address, uint8_t Width) override;
  void MmioWrite(uint64_t Address, uint8_t Width, uint64_t Value) override;
  uint64_t ReadMsr(uint32_t Msr) override;
  void WriteMsr(uint32_t Msr, uint64_t Value) override;
  void Cpuid(uint32_t Leaf, uint32_t SubLeaf, uint32_t Registers[4]) override;
  uint64_t ReadTsc() override;
  void Pause() override;
  void SetInterruptFlag(bool Enabled) override;
  bool GetInterruptFlag() override;
  uint16_t ReadCs() override;
  // Emits a cpuid event (with the si it leaves); SI is non-zero only for the
  // simulation query leaf 0xBACCD00B on a board whose cpu.simulation is true.
  uint64_t CpuidReadSi(uint32_t Eax, uint32_t Ebx) override;
  // The SMM supervisor: records a syscall event, then carries out the service
  // through the board's own access paths (so the access's events follow):
  // 0 read MSR A1, 2 disable interrupts, 3 read port A1 with width code A2
  // (0/1/2 = 8/16/32 bits), 4 write A3 to port A1 with width code A2.
  // Any other service, or a bad width code or port, goes to the fault handler.
  uint64_t SupervisorCall(uint64_t Service, uint64_t A1, uint64_t A2, uint64_t A3) override;

  // A new boot ("reset" step): devices return to the scenario's state; CMOS,
  // the RTC, the RAM block and the clock carry on.
  void Reboot();

  // Simulated time.
  uint64_t NowUs() const;
  uint64_t TscHz() const;
  uint64_t TscCycles() const;  // the TSC as it stands, without reading it
  void AdvanceUs(uint64_t Us);

  // Privilege the CPU runs at (code-segment RPL), for the SMM supervisor mode.
  void SetCodeSegment(uint16_t Cs);

  // Called for an access the model refuses; the handler must not return
  // (the runner ends the step and records a fault event).
  using FaultHandler = std::function<void(const std::string &What)>;
  void SetFaultHandler(FaultHandler Handler);

  // Inspection, for the final state and tests. No trace events.
  uint8_t CmosByte(uint8_t Offset) const;  // upper bank, 0x80..0xFF
  void SetCmosByte(uint8_t Offset, uint8_t Value);
  uint32_t SmnRegister(uint32_t Address) const;
  uint64_t PeekMemory(uint64_t Address, uint8_t Width) const;  // FCH block or plain memory
  uint8_t SioRegister(std::optional<uint8_t> Ldn, uint8_t Register) const;
  const std::vector<uint8_t> &PostCodes() const;       // low byte of every port-0x80 write
  const std::vector<uint32_t> &PostCodeValues() const; // every port-0x80 write as written (markers are 32-bit)
  // The RAM block. The first board alive in the process maps it at its
  // physical address (kRamBlockBase), so driver code can reach it through
  // plain pointers; a board built while another holds that address gets a
  // private block instead (RamBlockAtPhysicalAddress() says which).
  uint8_t *RamBlock();
  const uint8_t *RamBlock() const;
  bool RamBlockAtPhysicalAddress() const;
  uint8_t LatchedPort(uint16_t Port) const;  // 0xFF when the port latches nothing
  uint8_t KeyboardLeds() const;              // last LED byte the keyboard accepted (bits 2:0)
  bool AuxReporting() const;                 // auxiliary device enabled with 0xF4

  struct Impl;

 private:
  std::unique_ptr<Impl> P;
};

}  // namespace sim
