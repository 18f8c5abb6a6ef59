#include <Library/BaseMemoryLib.h>
#include <SetupConfig.h>

namespace {
constinit CHAR16 mSetupVariableName[] = SETUP_VARIABLE_NAME;
}

EFI_STATUS EFIAPI SetupVariableReadWith(SETUP_GET_VARIABLE GetVariable, SETUP_CONFIG *Setup, UINT32 *Attributes,
                                        UINTN *DataSize) {
  // A stored variable shorter than the layout would otherwise leave stack
  // garbage in the bytes past its end, and the drivers interpret those.
  ZeroMem(Setup, sizeof(*Setup));
  if (Attributes != nullptr) {
    *Attributes = 0;
  }
  UINTN Size = SETUP_VARIABLE_SIZE;
  EFI_STATUS Status = GetVariable(mSetupVariableName, &gSetupVariableGuid, Attributes, &Size, Setup);
  if (DataSize != nullptr) {
    *DataSize = Size;
  }
  return Status;
}

EFI_STATUS EFIAPI SetupVariableRead(EFI_RUNTIME_SERVICES *RuntimeServices, SETUP_CONFIG *Setup, UINT32 *Attributes,
                                    UINTN *DataSize) {
  UINT32 VariableAttributes = 0;
  EFI_STATUS Status = SetupVariableReadWith(RuntimeServices->GetVariable, Setup, &VariableAttributes, DataSize);
  if (Attributes != nullptr) {
    *Attributes = VariableAttributes;
  }
  return Status;
}

EFI_STATUS EFIAPI SetupVariableWrite(EFI_RUNTIME_SERVICES *RuntimeServices, SETUP_CONFIG *Setup, UINT32 Attributes,
                                     UINTN DataSize) {
  return RuntimeServices->SetVariable(mSetupVariableName, &gSetupVariableGuid, Attributes, DataSize, Setup);
}
