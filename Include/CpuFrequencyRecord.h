// The TSC frequency record shared by every driver through a configuration table.
#pragma once

#include <Uefi.h>

#define CPU_FREQUENCY_RECORD_GUID {0x614FACF7, 0x1AC6, 0x4B15, {0xA8, 0x8C, 0x2C, 0x1A, 0x70, 0xD7, 0x77, 0xEC}}
extern EFI_GUID gCpuFrequencyRecordGuid;

typedef struct {
  UINT64 TscFrequency;      // Hz
  UINT64 PstateDefinition;  // the P-state definition MSR the frequency was derived from
  UINT32 PstateIndex;       // MSR 0xC0010063 bits 2:0 at computing time
  UINT32 PowerFeatures;     // CPUID 0x80000007 EDX at computing time
} CPU_FREQUENCY_RECORD;
static_assert(sizeof(CPU_FREQUENCY_RECORD) == 24, "CPU_FREQUENCY_RECORD size");
static_assert(OFFSET_OF(CPU_FREQUENCY_RECORD, TscFrequency) == 0, "TscFrequency");
static_assert(OFFSET_OF(CPU_FREQUENCY_RECORD, PstateDefinition) == 8, "PstateDefinition");
static_assert(OFFSET_OF(CPU_FREQUENCY_RECORD, PstateIndex) == 16, "PstateIndex");
static_assert(OFFSET_OF(CPU_FREQUENCY_RECORD, PowerFeatures) == 20, "PowerFeatures");

#define CPU_POWER_FEATURES_INVARIANT_TSC BIT8
#define MSR_PSTATE_STATUS 0xC0010063u
#define MSR_PSTATE_DEFINITION_0 0xC0010064u
#define CPUID_EXTENDED_SIGNATURE 0x80000001u
#define CPUID_ADVANCED_POWER_MANAGEMENT 0x80000007u

EFI_STATUS EFIAPI CpuTscTimerLibConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI CalculateTscFrequency(CPU_FREQUENCY_RECORD *Record);
UINT64 EFIAPI GetTscFrequency(VOID);

// The module copy (zero until the constructor fills it); exposed for tests.
extern CPU_FREQUENCY_RECORD mCpuFrequency;
