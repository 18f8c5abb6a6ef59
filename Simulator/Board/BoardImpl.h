// Internal state of the simulated board, shared by the per-device sources.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "Board/Board.h"

namespace sim {

// Fixed addresses and timings of the model.
constexpr uint64_t kFchBlockBase = 0xFED80000;
constexpr uint64_t kFchPmRegister = kFchBlockBase + 0x300;
constexpr uint64_t kSmnIndexMmio = 0xE00000B8;
constexpr uint64_t kSmnDataMmio = 0xE00000BC;
constexpr uint32_t kSmnIndexConfigRegister = 0xB8;
constexpr uint32_t kSmnDataConfigRegister = 0xBC;
constexpr uint64_t kSmbusTransactionUs = 50;
constexpr uint64_t kKbcInputAcceptUs = 2;  // how long IBF stays set after a write
constexpr uint16_t kUartBase = 0x3F8;
constexpr uint16_t kSmbusRegisterSpan = 0x10;
constexpr uint16_t kSmbusSecondaryOffset = 0x20;

// A decoded event waiting for the raw event of the access that produced it.
struct DecodedEvent {
  std::string Name;
  Json Fields;
};

// The RAM block's storage: a mapping at kRamBlockBase in this process when
// the address is free of other boards, else a private buffer. Zeroed when made.
class RamBlockStorage {
 public:
  RamBlockStorage();
  ~RamBlockStorage();
  RamBlockStorage(const RamBlockStorage &) = delete;
  RamBlockStorage &operator=(const RamBlockStorage &) = delete;
  uint8_t *Data() const { return Data_; }
  bool AtPhysicalAddress() const { return Fixed_; }

 private:
  uint8_t *Data_ = nullptr;
  bool Fixed_ = false;
};

// Physical memory as the drivers see it: the RAM block plus sparse pages.
struct MemoryModel {
  RamBlockStorage RamStorage;
  uint8_t *Ram = RamStorage.Data();  // kRamBlockSize bytes at kRamBlockBase
  std::unordered_map<uint64_t, std::array<uint8_t, 4096>> Pages;

  uint8_t ReadByte(uint64_t Address) const;
  void WriteByte(uint64_t Address, uint8_t Value);
  uint64_t Read(uint64_t Address, unsigned Bytes) const;
  void Write(uint64_t Address, unsigned Bytes, uint64_t Value);
};

struct SmbusTransaction {
  bool Read = false;
  uint8_t Slave = 0;  // 8-bit form, direction bit clear
  uint8_t Command = 0;
  uint8_t Width = 0;  // 8, 16, or 0 for a protocol the model does not carry out
  uint16_t Value = 0;
  bool Ok = false;
  uint8_t FinalStatus = 0;  // status bits set when it ends
  uint64_t EndUs = 0;
};

struct SmbusController {
  bool Responds = true;
  std::map<uint8_t, std::map<uint8_t, uint16_t>> Devices;
  uint8_t Status = 0;
  uint8_t Control = 0;
  uint8_t Command = 0;
  uint8_t Address = 0;
  uint8_t Data0 = 0;
  uint8_t Data1 = 0;
  std::array<uint8_t, kSmbusRegisterSpan> Other{};
  std::optional<SmbusTransaction> Active;
};

// Which consumer the next byte written to the keyboard controller's data port goes to.
enum class KbcDataTarget { Keyboard, Aux, CommandByte, OutputPort, KeyboardEcho, AuxEcho };

struct KbcByte {
  uint8_t Value = 0;
  bool Aux = false;
};

struct KbcModel {
  uint8_t CommandByte = 0x47;
  std::optional<KbcByte> Output;  // the output buffer (OBF set while it holds a byte)
  std::deque<KbcByte> Queue;      // answers not yet in the output buffer
  uint64_t NextReadyUs = 0;
  uint64_t InputBusyUntilUs = 0;
  uint8_t LastRead = 0;
  KbcDataTarget NextData = KbcDataTarget::Keyboard;
  std::optional<uint8_t> KeyboardArgumentFor;  // keyboard command waiting for its argument byte
  std::optional<uint8_t> AuxArgumentFor;
  uint8_t Leds = 0;
  bool AuxReporting = false;
};

struct SuperIoModel {
  int KeyCount = 0;
  bool ConfigMode = false;
  uint8_t Index = 0;
  std::map<uint8_t, uint8_t> Global;  // register 0x07 holds the selected logical device
  std::map<uint8_t, std::map<uint8_t, uint8_t>> Ldn;
};

struct UartModel {
  uint8_t Ier = 0, Fcr = 0, Lcr = 0, Mcr = 0, Scr = 0, Dll = 0, Dlm = 0;
};

struct Board::Impl {
  Impl(const Scenario &S, Trace &T);

  Scenario S;
  Trace &T;
  FaultHandler Fault;

  // CPU.
  uint64_t Tsc = 0;
  uint64_t TscHz = 0;
  std::map<uint32_t, uint64_t> Msrs;
  bool InterruptsEnabled = true;
  uint16_t Cs = 0x38;
  // The supervisor carries out a deprivileged caller's request at ring 0.
  bool Supervising = false;
  // Busy-waits: a wait is a TSC read followed by reads and pauses that
  // alternate; waits back to back (nothing but TSC reads between them) form
  // a run. See Board::Pause for how a wait is shortened in wall time.
  bool Spinning = false;         // the last access was a TSC read or a pause
  bool PausedSinceRead = false;
  uint64_t WaitStart = 0;        // the TSC value that began the current wait
  uint64_t LastRead = 0;         // the TSC value the last read returned
  uint64_t ReadBefore = 0;       // the one the read before it returned
  unsigned PausesInWait = 0;
  uint64_t LastWait = 0;         // the run's previous wait: its length,
  uint64_t LastWaitTurn = 0;     // and where its last read before the end was
  unsigned SameWaits = 0;        // waits of this run in a row alike
  uint64_t SpinSkip();

  MemoryModel Memory;
  uint32_t SmnIndex = 0;
  std::map<uint32_t, uint32_t> Smn;
  uint32_t Cf8 = 0;
  std::map<PciAddress, std::array<uint8_t, 4096>> PciFunctions;
  uint8_t CmosIndex = 0;
  std::array<uint8_t, 256> Cmos{};
  uint8_t RtcIndex = 0;
  std::array<uint8_t, 128> RtcBank{};
  std::array<SmbusController, 2> Smbus;
  SuperIoModel Sio;
  KbcModel Kbc;
  UartModel Uart;
  std::map<uint16_t, uint8_t> Latched;
  std::vector<uint8_t> PostCodes;
  std::vector<uint32_t> PostCodeValues;

  std::vector<DecodedEvent> Decoded;

  // Time.
  uint64_t NowUs() const;
  void AdvanceCycles(uint64_t Cycles);
  uint64_t CyclesFor(uint64_t Numerator, uint64_t Denominator) const;  // Numerator/Denominator seconds
  void Settle();

  // Events.
  void Decode(std::string Name, Json Fields);
  void FlushDecoded();
  // Hands What to the fault handler, which does not return: the text is kept
  // here so that nothing on the abandoned frames owns memory.
  bool Refuse(std::string What);
  // IN, OUT, RDMSR, WRMSR, CLI and STI raise #GP at privilege level 3 (the
  // SMM supervisor runs deprivileged code with IOPL 0): refused, true when
  // the access must not happen.
  bool PrivilegeFault(const char *Instruction);
  std::string RefusalText;

  // Device state from the scenario (construction and reboot).
  void ResetDevices();
  void InitRtc();
  void SeedMemory(bool IncludeRam);

  // I/O dispatch.
  uint32_t IoReadAccess(uint16_t Port, uint8_t Width);
  void IoWriteAccess(uint16_t Port, uint8_t Width, uint32_t Value);
  uint8_t IoReadByte(uint16_t Port);
  void IoWriteByte(uint16_t Port, uint8_t Value);
  void LatchBytes(uint16_t Port, uint8_t Width, uint32_t Value);

  // Memory-mapped dispatch.
  uint64_t MmioReadAccess(uint64_t Address, uint8_t Width);
  void MmioWriteAccess(uint64_t Address, uint8_t Width, uint64_t Value);

  // SMN, shared by both routes.
  uint32_t SmnRead(uint32_t Address) const;
  uint32_t SmnDataRead(unsigned Offset, unsigned Bytes);
  void SmnDataWrite(unsigned Offset, unsigned Bytes, uint32_t Value);
  uint32_t SmnIndexRead(unsigned Offset, unsigned Bytes) const;
  void SmnIndexWrite(unsigned Offset, unsigned Bytes, uint32_t Value);

  // PCI configuration through 0xCF8/0xCFC.
  uint32_t PciDataRead(unsigned Offset, unsigned Bytes);
  void PciDataWrite(unsigned Offset, unsigned Bytes, uint32_t Value);

  // CMOS and RTC.
  uint8_t CmosPortRead(uint16_t Port);
  void CmosPortWrite(uint16_t Port, uint8_t Value);

  // SMBus.
  uint16_t SmbusBase() const;
  std::optional<std::pair<int, unsigned>> SmbusRegisterAt(uint16_t Port) const;
  uint8_t SmbusRead(int Controller, unsigned Register);
  void SmbusWrite(int Controller, unsigned Register, uint8_t Value);
  void SmbusStart(int Controller);
  void SmbusSettle(int Controller);
  void SmbusFinish(int Controller, bool Aborted);

  // Super I/O configuration ports.
  uint8_t SioPortRead(uint16_t Port);
  void SioPortWrite(uint16_t Port, uint8_t Value);
  uint8_t &SioRegisterRef(uint8_t Register);

  // Keyboard controller.
  uint8_t KbcPortRead(uint16_t Port);
  void KbcPortWrite(uint16_t Port, uint8_t Value);
  void KbcSettle();
  void KbcAnswer(std::vector<uint8_t> Bytes, bool Aux);
  void KbcControllerCommand(uint8_t Command);
  void KbcKeyboardByte(uint8_t Value);
  void KbcAuxByte(uint8_t Value);

  // UART.
  uint8_t UartRead(unsigned Register);
  void UartWrite(unsigned Register, uint8_t Value);
};

uint64_t AllOnes(unsigned Width);
std::string BdfText(uint8_t Bus, uint8_t Device, uint8_t Function);

}  // namespace sim
