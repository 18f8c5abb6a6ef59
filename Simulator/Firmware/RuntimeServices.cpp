// Runtime services: the variable store and ConvertPointer; every other slot
// answers EFI_UNSUPPORTED.
#include "Firmware/FirmwareImpl.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kKnownAttributes = 0x7F;
constexpr uint32_t kAccessAttributes = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr uint32_t kAuthenticatedAttributes =
    EFI_VARIABLE_AUTHENTICATED_WRITE_ACCESS | EFI_VARIABLE_TIME_BASED_AUTHENTICATED_WRITE_ACCESS;
constexpr uint32_t kHardwareErrorAttributes =
    EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;
constexpr UINTN kOptionalPointer = 0x1;

Json NameText(const CHAR16 *Name) { return Name != nullptr ? Json(Utf8FromUcs2(Name)) : Json(nullptr); }

}  // namespace

EFI_STATUS ServeGetVariable(Firmware::Impl &F, std::string_view Service, CHAR16 *VariableName, EFI_GUID *VendorGuid,
                            UINT32 *Attributes, UINTN *DataSize, VOID *Data) {
  Json SizeIn = DataSize != nullptr ? Json(Hex(*DataSize)) : Json(nullptr);
  Json AttributesOut = nullptr;
  Json SizeOut = nullptr;
  EFI_STATUS Status = EFI_SUCCESS;
  const StoredVariable *V = nullptr;
  if (VariableName == nullptr || VendorGuid == nullptr || DataSize == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  } else if (VariableName[0] == 0 || (V = F.FindVariable(VariableName, *VendorGuid)) == nullptr) {
    Status = EFI_NOT_FOUND;
  } else if (*DataSize < V->Data.size()) {
    Status = EFI_BUFFER_TOO_SMALL;
  } else if (Data == nullptr) {
    Status = EFI_INVALID_PARAMETER;
  }
  if (V != nullptr && (Status == EFI_SUCCESS || Status == EFI_BUFFER_TOO_SMALL)) {
    if (Status == EFI_SUCCESS && !V->Data.empty()) {
      std::memcpy(Data, V->Data.data(), V->Data.size());
    }
    *DataSize = V->Data.size();
    SizeOut = Hex(*DataSize);
    if (Attributes != nullptr) {
      *Attributes = V->Attributes;
      AttributesOut = Hex(*Attributes);
    }
  }
  F.Call(Service,
         {{"name", NameText(VariableName)},
          {"guid", GuidJson(VendorGuid)},
          {"attributes", AttributesOut},
          {"size", SizeIn},
          {"data_size", SizeOut}},
         Status);
  return Status;
}

namespace {

// Validation and storage of one SetVariable call, without the scenario's
// forced status.
EFI_STATUS StoreVariable(Firmware::Impl &F, const CHAR16 *Name, const EFI_GUID &Guid, UINT32 Attributes,
                         UINTN DataSize, const VOID *Data) {
  const std::u16string Key(Name);
  StoredVariable *Existing = F.FindVariable(Key, Guid);
  const uint32_t Kept = Attributes & ~EFI_VARIABLE_APPEND_WRITE;
  const bool Append = (Attributes & EFI_VARIABLE_APPEND_WRITE) != 0;
  const bool Delete = (!Append && DataSize == 0) || (Attributes & kAccessAttributes) == 0;

  if (Delete) {
    if (Existing == nullptr) {
      return EFI_NOT_FOUND;
    }
    if (Kept != 0 && Kept != Existing->Attributes) {
      return EFI_INVALID_PARAMETER;
    }
    F.Persist.Variables.erase({Key, GuidText(Guid)});
    return EFI_SUCCESS;
  }
  if (Existing != nullptr && Kept != Existing->Attributes) {
    return EFI_INVALID_PARAMETER;
  }
  if (Append && DataSize == 0) {
    return EFI_SUCCESS;  // nothing to add, nothing created
  }
  const auto *Bytes = static_cast<const uint8_t *>(Data);
  if (Existing != nullptr && Append) {
    Existing->Data.insert(Existing->Data.end(), Bytes, Bytes + DataSize);
  } else {
    F.Persist.Variables[{Key, GuidText(Guid)}] = StoredVariable{Kept, std::vector<uint8_t>(Bytes, Bytes + DataSize)};
  }
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS ServeSetVariable(Firmware::Impl &F, std::string_view Service, CHAR16 *VariableName, EFI_GUID *VendorGuid,
                            UINT32 Attributes, UINTN DataSize, VOID *Data) {
  Json DataText = Data != nullptr ? Json(HexBytes(static_cast<const uint8_t *>(Data), DataSize)) : Json(nullptr);
  EFI_STATUS Status = EFI_SUCCESS;
  if (VariableName == nullptr || VendorGuid == nullptr || VariableName[0] == 0 ||
      (DataSize != 0 && Data == nullptr)) {
    Status = EFI_INVALID_PARAMETER;
  } else if ((Attributes & ~kKnownAttributes) != 0) {
    Status = EFI_INVALID_PARAMETER;
  } else if ((Attributes & EFI_VARIABLE_RUNTIME_ACCESS) != 0 && (Attributes & EFI_VARIABLE_BOOTSERVICE_ACCESS) == 0) {
    Status = EFI_INVALID_PARAMETER;
  } else if ((Attributes & EFI_VARIABLE_HARDWARE_ERROR_RECORD) != 0 &&
             (Attributes & kHardwareErrorAttributes) != kHardwareErrorAttributes) {
    Status = EFI_INVALID_PARAMETER;
  } else if ((Attributes & kAuthenticatedAttributes) != 0) {
    Status = EFI_UNSUPPORTED;  // this store authenticates nothing
  } else if (EFI_ERROR(F.SetVariableStatus)) {
    Status = F.SetVariableStatus;  // the store refuses every write
  } else {
    Status = StoreVariable(F, VariableName, *VendorGuid, Attributes, DataSize, Data);
    if (Status == EFI_SUCCESS) {
      Status = F.SetVariableStatus;  // a warning the scenario asks for
    }
  }
  F.Call(Service,
         {{"name", NameText(VariableName)},
          {"guid", GuidJson(VendorGuid)},
          {"attributes", Hex(Attributes)},
          {"size", Hex(DataSize)},
          {"data", DataText}},
         Status);
  return Status;
}

namespace {

EFI_STATUS EFIAPI GetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
                              VOID *Data) {
  return Guarded<EFI_STATUS>(EFI_DEVICE_ERROR, [&](Firmware::Impl &F) {
    return ServeGetVariable(F, "GetVariable", VariableName, VendorGuid, Attributes, DataSize, Data);
  });
}

EFI_STATUS EFIAPI SetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes, UINTN DataSize,
                              VOID *Data) {
  return Guarded<EFI_STATUS>(EFI_DEVICE_ERROR, [&](Firmware::Impl &F) {
    return ServeSetVariable(F, "SetVariable", VariableName, VendorGuid, Attributes, DataSize, Data);
  });
}

EFI_STATUS EFIAPI ConvertPointer(UINTN DebugDisposition, VOID **Address) {
  return Guarded<EFI_STATUS>(EFI_INVALID_PARAMETER, [&](Firmware::Impl &F) {
    // The simulated platform maps everything one to one, so a valid pointer stays as it is.
    EFI_STATUS Status = EFI_SUCCESS;
    if (Address == nullptr || (*Address == nullptr && (DebugDisposition & kOptionalPointer) == 0)) {
      Status = EFI_INVALID_PARAMETER;
    }
    F.Call("ConvertPointer", {{"disposition", Hex(DebugDisposition)}}, Status);
    return Status;
  });
}

}  // namespace

#define RT_UNSUPPORTED(Member) F.Rs.Member = &UnsupportedSlot<#Member, decltype(EFI_RUNTIME_SERVICES::Member)>::Call

void InitRuntimeServices(Firmware::Impl &F) {
  RT_UNSUPPORTED(GetTime);
  RT_UNSUPPORTED(SetTime);
  RT_UNSUPPORTED(GetWakeupTime);
  RT_UNSUPPORTED(SetWakeupTime);
  RT_UNSUPPORTED(SetVirtualAddressMap);
  F.Rs.ConvertPointer = &ConvertPointer;
  F.Rs.GetVariable = &GetVariable;
  RT_UNSUPPORTED(GetNextVariableName);
  F.Rs.SetVariable = &SetVariable;
  RT_UNSUPPORTED(GetNextHighMonotonicCount);
  RT_UNSUPPORTED(ResetSystem);
  RT_UNSUPPORTED(UpdateCapsule);
  RT_UNSUPPORTED(QueryCapsuleCapabilities);
  RT_UNSUPPORTED(QueryVariableInfo);
}

}  // namespace sim
