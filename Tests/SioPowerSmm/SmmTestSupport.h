// In-process support for the SMM driver's library tests: a hardware port
// that sits between the seam and the simulated board, counting the
// privileged instructions the code executes itself (as opposed to those the
// supervisor carries out for it) and able to make the keyboard controller
// misbehave.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Common/SimEnvironment.h"

namespace test {

class RecordingPort final : public SimHardwarePort {
 public:
  explicit RecordingPort(sim::Board &B) : Board_(B) {}

  // Instructions executed directly, not through a supervisor call.
  unsigned DirectIo = 0;
  unsigned DirectMsr = 0;
  unsigned DirectCli = 0;
  unsigned DirectSti = 0;
  unsigned Syscalls = 0;
  void ResetCounts() { DirectIo = DirectMsr = DirectCli = DirectSti = Syscalls = 0; }
  // Keyboard-controller misbehaviour on status reads (port 0x64).
  bool StuckInputFull = false;  // IBF never clears
  unsigned InputFullReads = 0;  // IBF shown on this many more status reads
  bool ReportTimeout = false;   // time-out bit set whenever no byte waits
  // Serial port 0x3F8 held back for this many more reads: the line status
  // shows the holding register empty but not the transmitter (bit 5 without
  // bit 6), the modem status shows no clear to send.
  unsigned SerialBusyReads = 0;
  unsigned NoClearToSendReads = 0;
  // When non-zero, each CPU pause lets this many microseconds pass, so that
  // waits of seconds take little real time.
  uint64_t PauseUs = 0;

  uint32_t IoRead(uint16_t Port, uint8_t Width) override {
    ++DirectIo;
    return Adjust(Port, Board_.IoRead(Port, Width));
  }
  void IoWrite(uint16_t Port, uint8_t Width, uint32_t Value) override {
    ++DirectIo;
    Board_.IoWrite(Port, Width, Value);
  }
  uint64_t MmioRead(uint64_t Address, uint8_t Width) override { return Board_.MmioRead(Address, Width); }
  void MmioWrite(uint64_t Address, uint8_t Width, uint64_t Value) override { Board_.MmioWrite(Address, Width, Value); }
  uint64_t ReadMsr(uint32_t Msr) override {
    ++DirectMsr;
    return Board_.ReadMsr(Msr);
  }
  void WriteMsr(uint32_t Msr, uint64_t Value) override { Board_.WriteMsr(Msr, Value); }
  void Cpuid(uint32_t Leaf, uint32_t SubLeaf, uint32_t Registers[4]) override { Board_.Cpuid(Leaf, SubLeaf, Registers); }
  uint64_t ReadTsc() override { return Board_.ReadTsc(); }
  void Pause() override {
    if (PauseUs != 0) {
      Board_.AdvanceUs(PauseUs);
    } else {
      Board_.Pause();
    }
  }
  void SetInterruptFlag(bool Enabled) override {
    ++(Enabled ? DirectSti : DirectCli);
    Board_.SetInterruptFlag(Enabled);
  }
  bool GetInterruptFlag() override { return Board_.GetInterruptFlag(); }
  uint16_t ReadCs() override { return Board_.ReadCs(); }
  uint64_t CpuidReadSi(uint32_t Eax, uint32_t Ebx) override { return Board_.CpuidReadSi(Eax, Ebx); }
  uint64_t SupervisorCall(uint64_t Service, uint64_t A1, uint64_t A2, uint64_t A3) override {
    ++Syscalls;
    uint64_t Value = Board_.SupervisorCall(Service, A1, A2, A3);
    return Service == 3 ? Adjust(static_cast<uint16_t>(A1), static_cast<uint32_t>(Value)) : Value;
  }

 private:
  uint32_t Adjust(uint16_t Port, uint32_t Value) {
    if (Port == 0x3FD && SerialBusyReads != 0) {
      --SerialBusyReads;
      return (Value & ~0x60u) | 0x20;
    }
    if (Port == 0x3FE && NoClearToSendReads != 0) {
      --NoClearToSendReads;
      return Value & ~0x10u;
    }
    if (Port != 0x64) return Value;
    if (StuckInputFull) Value |= 0x02;
    if (InputFullReads != 0) {
      --InputFullReads;
      Value |= 0x02;
    }
    if (ReportTimeout && (Value & 0x01) == 0) Value |= 0x40;
    return Value;
  }
  sim::Board &Board_;
};

// "R port value" / "W port value" for the raw I/O events since Mark, in order.
inline std::vector<std::string> IoAccesses(const SimEnvironment &Env, size_t Mark) {
  std::vector<std::string> Out;
  for (const auto &E : Env.Since(Mark, {"io-read", "io-write"})) {
    Out.push_back(std::string(E["event"] == "io-read" ? "R " : "W ") + E["port"].get<std::string>() + " " +
                  E["value"].get<std::string>());
  }
  return Out;
}

// The raw I/O and MSR events since Mark that no supervisor call produced.
inline std::vector<sim::Json> UnmediatedAccesses(const SimEnvironment &Env, size_t Mark) {
  std::vector<sim::Json> Out;
  bool AfterSyscall = false;
  for (const auto &E : Env.Since(Mark)) {
    const std::string Kind = E["event"];
    if (Kind == "syscall") {
      AfterSyscall = E["service"] != "0x2";  // disabling interrupts touches no port
      continue;
    }
    if (Kind == "io-read" || Kind == "io-write" || Kind == "msr-read") {
      if (!AfterSyscall) Out.push_back(E);
      AfterSyscall = false;
    }
  }
  return Out;
}

constexpr uint16_t kDeprivilegedCs = 0x3B;  // RPL 3
constexpr uint16_t kPrivilegedCs = 0x38;

}  // namespace test
