// TSC frequency from the AMD P-state registers, shared by all drivers of a
// boot through one configuration-table record, and the TSC busy-wait.
#include <CpuFrequencyRecord.h>
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/TimerLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiLib.h>

#include "CpuTscTimerMsr.h"

constinit CPU_FREQUENCY_RECORD mCpuFrequency = {};

namespace {

// Only eight definition MSRs exist; a foreign record with a larger index
// must not send the read to an unrelated MSR.
UINT32 PstateDefinitionMsr(UINT32 PstateIndex) { return MSR_PSTATE_DEFINITION_0 + (PstateIndex & 7); }

BOOLEAN InvariantTsc(UINT32 PowerFeatures) { return (PowerFeatures & CPU_POWER_FEATURES_INVARIANT_TSC) != 0; }

// Family 1Ah and later encode the core frequency in 5-MHz units.
BOOLEAN FiveMhzFormat(UINT32 Signature) {
  return (Signature & 0xF00) == 0xF00 && (Signature & 0xFF00000) >= 0xB00000;
}

}  // namespace

CPU_FREQUENCY_RECORD *EFIAPI CpuTscTimerFindPublished(VOID) {
  CPU_FREQUENCY_RECORD *Record = nullptr;
  EFI_STATUS Status = EfiGetSystemConfigurationTable(&gCpuFrequencyRecordGuid, (VOID **)&Record);
  return EFI_ERROR(Status) ? nullptr : Record;
}

VOID EFIAPI CalculateTscFrequency(CPU_FREQUENCY_RECORD *Record) {
  UINT32 PowerFeatures = 0;
  UINT32 Signature = 0;
  AsmCpuid(CPUID_ADVANCED_POWER_MANAGEMENT, nullptr, nullptr, nullptr, &PowerFeatures);
  Record->PowerFeatures = PowerFeatures;
  AsmCpuid(CPUID_EXTENDED_SIGNATURE, &Signature, nullptr, nullptr, nullptr);
  Record->PstateIndex = (UINT32)(CpuTscTimerReadMsr(MSR_PSTATE_STATUS) & 7);

  // An invariant TSC runs at the P0 rate whatever the current P-state.
  UINT32 Msr = InvariantTsc(PowerFeatures) ? MSR_PSTATE_DEFINITION_0 : PstateDefinitionMsr(Record->PstateIndex);
  UINT64 Value = CpuTscTimerReadMsr(Msr);
  Record->PstateDefinition = Value;

  if (FiveMhzFormat(Signature)) {
    Record->TscFrequency = (Value & 0xFFF) * 5000000ull;
    return;
  }
  UINT32 Fid = (UINT32)(Value & 0xFF);
  UINT32 Did = (UINT32)((Value >> 8) & 0x3F);
  if (Did == 0) {
    Did = 1;
  }
  UINT32 Mhz = (Fid * 200) / Did;
  UINT32 Rounded = (Mhz / 100) * 100;
  if (Mhz % 100 >= 50) {
    Rounded += 100;
  }
  Record->TscFrequency = (UINT64)Rounded * 1000000ull;
}

EFI_STATUS EFIAPI CpuTscTimerLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  CPU_FREQUENCY_RECORD *Published = CpuTscTimerFindPublished();
  if (Published != nullptr) {
    if (!InvariantTsc(Published->PowerFeatures) &&
        CpuTscTimerReadMsr(PstateDefinitionMsr(Published->PstateIndex)) != Published->PstateDefinition) {
      CalculateTscFrequency(Published);
    }
    CopyMem(&mCpuFrequency, Published, sizeof(mCpuFrequency));
    return EFI_SUCCESS;
  }

  CPU_FREQUENCY_RECORD *Temp = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, sizeof(*Temp), (VOID **)&Temp)) || Temp == nullptr) {
    return EFI_SUCCESS;
  }
  CalculateTscFrequency(Temp);
  CPU_FREQUENCY_RECORD *Nvs = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiACPIMemoryNVS, sizeof(*Nvs), (VOID **)&Nvs)) || Nvs == nullptr) {
    gBS->FreePool(Temp);
    return EFI_SUCCESS;
  }
  CopyMem(&mCpuFrequency, Temp, sizeof(mCpuFrequency));
  CopyMem(Nvs, Temp, sizeof(*Nvs));
  gBS->InstallConfigurationTable(&gCpuFrequencyRecordGuid, Nvs);
  gBS->FreePool(Temp);
  return EFI_SUCCESS;
}

UINT64 EFIAPI GetTscFrequency(VOID) {
  if (InvariantTsc(mCpuFrequency.PowerFeatures)) {
    return mCpuFrequency.TscFrequency;
  }
  // The P-state recorded at computing time, not the current one.
  if (CpuTscTimerReadMsr(PstateDefinitionMsr(mCpuFrequency.PstateIndex)) == mCpuFrequency.PstateDefinition) {
    return mCpuFrequency.TscFrequency;
  }
  CPU_FREQUENCY_RECORD *Published = CpuTscTimerRefreshTarget();
  if (Published != nullptr) {
    CalculateTscFrequency(Published);
    CopyMem(&mCpuFrequency, Published, sizeof(mCpuFrequency));
  } else {
    // No published record (or none this image may write): the module copy
    // alone is recomputed, so delays still have a rate.
    CalculateTscFrequency(&mCpuFrequency);
  }
  return mCpuFrequency.TscFrequency;
}

namespace {

constexpr UINT64 kMicroSecondsPerSecond = 1000000;
// No wait is longer: a difference of TSC values can always pass it.
constexpr UINT64 kLongestWait = 1ull << 63;

// MicroSeconds * Frequency / 1,000,000 without overflow: the product is
// formed in 128 bits from 32-bit halves (a frequency from a foreign record
// can be anything), the quotient capped at the longest wait.
UINT64 TicksFor(UINT64 MicroSeconds, UINT64 Frequency) {
  const UINT64 AL = MicroSeconds & 0xFFFFFFFF, AH = MicroSeconds >> 32;
  const UINT64 BL = Frequency & 0xFFFFFFFF, BH = Frequency >> 32;
  const UINT64 P0 = AL * BL, P1 = AL * BH, P2 = AH * BL, P3 = AH * BH;
  const UINT64 Middle = (P0 >> 32) + (P1 & 0xFFFFFFFF) + (P2 & 0xFFFFFFFF);
  const UINT64 Low = (P0 & 0xFFFFFFFF) | (Middle << 32);
  const UINT64 High = P3 + (P1 >> 32) + (P2 >> 32) + (Middle >> 32);
  if (High >= kMicroSecondsPerSecond) {
    return kLongestWait;
  }
  // Long division by 32-bit digits; every partial dividend fits 64 bits.
  UINT64 Dividend = (High << 32) | (Low >> 32);
  const UINT64 QuotientHigh = Dividend / kMicroSecondsPerSecond;
  Dividend = ((Dividend % kMicroSecondsPerSecond) << 32) | (Low & 0xFFFFFFFF);
  const UINT64 Ticks = (QuotientHigh << 32) + Dividend / kMicroSecondsPerSecond;
  return Ticks > kLongestWait ? kLongestWait : Ticks;
}

}  // namespace

UINTN EFIAPI MicroSecondDelay(UINTN MicroSeconds) {
  UINT64 Frequency = GetTscFrequency();
  UINT64 Start = AsmReadTsc();
  UINT64 Ticks = TicksFor(MicroSeconds, Frequency);
  // Measured as a difference, which a TSC wrap-around does not disturb.
  while (AsmReadTsc() - Start <= Ticks) {
    CpuPause();
  }
  return MicroSeconds;
}
