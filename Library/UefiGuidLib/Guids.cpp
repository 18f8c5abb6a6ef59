// Every GUID global declared under Include/, defined once. Not const: the
// firmware interfaces take EFI_GUID * without const.
#include <CpuFrequencyRecord.h>
#include <Guid/HobList.h>
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
