// Every GUID global declared under Include/, defined once. Not const: the
// firmware interfaces take EFI_GUID * without const.
#include <CpuFrequencyRecord.h>
#include <Guid/HobList.h>
#include <Pi/PiSmmCis.h>
#include <Protocol/DebugPrintService.h>
#include <Protocol/Pcd.h>
#include <Protocol/PiPcd.h>
#include <SetupConfig.h>

constinit EFI_GUID gPcdProtocolGuid = PCD_PROTOCOL_GUID;
constinit EFI_GUID gEfiPcdProtocolGuid = EFI_PCD_PROTOCOL_GUID;
constinit EFI_GUID gDebugPrintServiceProtocolGuid = DEBUG_PRINT_SERVICE_PROTOCOL_GUID;
constinit EFI_GUID gEfiHobListGuid = EFI_HOB_LIST_GUID;
constinit EFI_GUID gSetupVariableGuid = SETUP_VARIABLE_GUID;
constinit EFI_GUID gCpuFrequencyRecordGuid = CPU_FREQUENCY_RECORD_GUID;
constinit EFI_GUID gEfiSmmBase2ProtocolGuid = EFI_SMM_BASE2_PROTOCOL_GUID;
constinit EFI_GUID gEfiSmmAccess2ProtocolGuid = EFI_SMM_ACCESS2_PROTOCOL_GUID;
constinit EFI_GUID gEfiSmmSxDispatch2ProtocolGuid = EFI_SMM_SX_DISPATCH2_PROTOCOL_GUID;
constinit EFI_GUID gEfiSmmPowerButtonDispatch2ProtocolGuid = EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL_GUID;
constinit EFI_GUID gEfiSmmVariableProtocolGuid = EFI_SMM_VARIABLE_PROTOCOL_GUID;
