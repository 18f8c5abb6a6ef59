// The 27-byte configuration record filled from PCDs by every driver.
#pragma once

#include <Uefi.h>

#pragma pack(push, 1)
typedef struct {
  UINT16 Const1;   // 0x0100
  UINT8 Const2;    // 3
  UINT32 Const3;   // 0x80
  BOOLEAN Pcd631;
  UINT8 Pcd571;
  UINT16 Const4;   // 0x0202
  UINT8 Const5;    // 2
  UINT32 Const6;   // 0x3E30600
  BOOLEAN Pcd632;
  UINT32 Pcd581;
  UINT32 Pcd580;
  UINT8 Pcd633;
  UINT8 Const7;    // 2
} AMD_CFG_PCD_BUFFER;
#pragma pack(pop)
static_assert(sizeof(AMD_CFG_PCD_BUFFER) == 27, "AMD_CFG_PCD_BUFFER size");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const1) == 0, "Const1");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const2) == 2, "Const2");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const3) == 3, "Const3");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Pcd631) == 7, "Pcd631");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Pcd571) == 8, "Pcd571");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const4) == 9, "Const4");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const5) == 11, "Const5");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const6) == 12, "Const6");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Pcd632) == 16, "Pcd632");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Pcd581) == 17, "Pcd581");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Pcd580) == 21, "Pcd580");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Pcd633) == 25, "Pcd633");
static_assert(OFFSET_OF(AMD_CFG_PCD_BUFFER, Const7) == 26, "Const7");

extern AMD_CFG_PCD_BUFFER gAmdCfgPcdBuffer;

EFI_STATUS EFIAPI AmdCfgPcdBufLibDxeConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// The SMM driver's constructor: the same record, no message when a PCD protocol is missing.
EFI_STATUS EFIAPI AmdCfgPcdBufLibSmmConstructor(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable);
// Zeroes the record and fills it. When a PCD protocol is missing the record
// stays zero and the LocateProtocol status is returned, with *MissingProtocol
// (when not NULL) set to that protocol's GUID.
EFI_STATUS EFIAPI AmdCfgPcdBufferFill(EFI_GUID **MissingProtocol);
