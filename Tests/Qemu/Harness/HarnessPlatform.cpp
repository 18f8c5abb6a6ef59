// The platform side the harness plays: result lines on the console, a PCD
// protocol and a debug print service that record what the drivers ask of
// them, counters around the firmware's variable services, and image loading
// from the harness's own volume, and the page attributes the firmware gives
// an image.
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/DebugPrintService.h>
#include <Protocol/Pcd.h>

#include "Harness.h"
#include "HarnessUefi.h"

namespace {

// ---- Result lines -----------------------------------------------------------

constexpr UINTN LINE_LENGTH = 480;

constinit UINTN mPassed = 0;
constinit UINTN mFailed = 0;

VOID ConsoleLine(CONST CHAR8 *Text) {
  CHAR16 Wide[LINE_LENGTH + 3];
  UINTN Length = 0;
  for (; Text[Length] != '\0' && Length < LINE_LENGTH; Length++) {
    Wide[Length] = (CHAR16)(UINT8)Text[Length];
  }
  Wide[Length++] = u'\r';
  Wide[Length++] = u'\n';
  Wide[Length] = 0;
  HARNESS_TEXT_OUTPUT *Out = (HARNESS_TEXT_OUTPUT *)gST->ConOut;
  if (Out != nullptr) {
    Out->OutputString(Out, Wide);
  }
}

// ---- Recording PCD protocol ---------------------------------------------------

struct BOARD_PCD {
  UINTN Token;
  UINT64 Value;
};

// The board's values of the tokens every driver's configuration buffer reads.
constexpr BOARD_PCD mBoardPcds[] = {
    {631, 1}, {571, 0x20}, {632, 0}, {581, 0x186A0}, {580, 0x2710}, {633, 3},
};

constinit PCD_CALL mPcdCalls[PCD_CALL_CAPACITY] = {};
constinit UINTN mPcdCallCount = 0;

constinit EFI_HANDLE mPcdHandle = nullptr;
constinit VOID *mPlatformPcd = nullptr;
constinit BOOLEAN mPcdRecorderInstalled = FALSE;
constinit BOOLEAN mPcdWithdrawn = FALSE;

VOID RecordPcd(PCD_CALL_KIND Kind, UINTN Token, UINT64 Value) {
  if (mPcdCallCount < PCD_CALL_CAPACITY) {
    mPcdCalls[mPcdCallCount] = {Kind, Token, Value};
  }
  mPcdCallCount++;
}

UINT64 BoardPcdValue(UINTN Token) {
  for (const BOARD_PCD &Pcd : mBoardPcds) {
    if (Pcd.Token == Token) {
      return Pcd.Value;
    }
  }
  return 0;
}

UINT8 EFIAPI RecGet8(UINTN Token) {
  RecordPcd(PcdCallGet8, Token, 0);
  return (UINT8)BoardPcdValue(Token);
}
UINT32 EFIAPI RecGet32(UINTN Token) {
  RecordPcd(PcdCallGet32, Token, 0);
  return (UINT32)BoardPcdValue(Token);
}
BOOLEAN EFIAPI RecGetBool(UINTN Token) {
  RecordPcd(PcdCallGetBool, Token, 0);
  return BoardPcdValue(Token) != 0 ? TRUE : FALSE;
}
// Never forwarded: the platform's tokens of these numbers mean something else.
EFI_STATUS EFIAPI RecSet32(UINTN Token, UINT32 Value) {
  RecordPcd(PcdCallSet32, Token, Value);
  return EFI_SUCCESS;
}

// Every other member: recorded by slot number, answers nothing useful.
#define PCD_OTHER(Slot, Ret, Params, Result) \
  Ret EFIAPI RecOther##Slot Params {         \
    RecordPcd(PcdCallOther, Slot, 0);        \
    return Result;                           \
  }
VOID EFIAPI RecOther0(UINTN) { RecordPcd(PcdCallOther, 0, 0); }
PCD_OTHER(2, UINT16, (UINTN), 0)
PCD_OTHER(4, UINT64, (UINTN), 0)
PCD_OTHER(5, VOID *, (UINTN), nullptr)
PCD_OTHER(7, UINTN, (UINTN), 0)
PCD_OTHER(8, UINT8, (CONST EFI_GUID *, UINTN), 0)
PCD_OTHER(9, UINT16, (CONST EFI_GUID *, UINTN), 0)
PCD_OTHER(10, UINT32, (CONST EFI_GUID *, UINTN), 0)
PCD_OTHER(11, UINT64, (CONST EFI_GUID *, UINTN), 0)
PCD_OTHER(12, VOID *, (CONST EFI_GUID *, UINTN), nullptr)
PCD_OTHER(13, BOOLEAN, (CONST EFI_GUID *, UINTN), FALSE)
PCD_OTHER(14, UINTN, (CONST EFI_GUID *, UINTN), 0)
PCD_OTHER(15, EFI_STATUS, (UINTN, UINT8), EFI_UNSUPPORTED)
PCD_OTHER(16, EFI_STATUS, (UINTN, UINT16), EFI_UNSUPPORTED)
PCD_OTHER(18, EFI_STATUS, (UINTN, UINT64), EFI_UNSUPPORTED)
PCD_OTHER(19, EFI_STATUS, (UINTN, UINTN *, VOID *), EFI_UNSUPPORTED)
PCD_OTHER(20, EFI_STATUS, (UINTN, BOOLEAN), EFI_UNSUPPORTED)
PCD_OTHER(21, EFI_STATUS, (CONST EFI_GUID *, UINTN, UINT8), EFI_UNSUPPORTED)
PCD_OTHER(22, EFI_STATUS, (CONST EFI_GUID *, UINTN, UINT16), EFI_UNSUPPORTED)
PCD_OTHER(23, EFI_STATUS, (CONST EFI_GUID *, UINTN, UINT32), EFI_UNSUPPORTED)
PCD_OTHER(24, EFI_STATUS, (CONST EFI_GUID *, UINTN, UINT64), EFI_UNSUPPORTED)
PCD_OTHER(25, EFI_STATUS, (CONST EFI_GUID *, UINTN, UINTN *, VOID *), EFI_UNSUPPORTED)
PCD_OTHER(26, EFI_STATUS, (CONST EFI_GUID *, UINTN, BOOLEAN), EFI_UNSUPPORTED)
PCD_OTHER(27, EFI_STATUS, (CONST EFI_GUID *, UINTN, PCD_PROTOCOL_CALLBACK), EFI_UNSUPPORTED)
PCD_OTHER(28, EFI_STATUS, (CONST EFI_GUID *, UINTN, PCD_PROTOCOL_CALLBACK), EFI_UNSUPPORTED)
PCD_OTHER(29, EFI_STATUS, (CONST EFI_GUID *, UINTN *), EFI_NOT_FOUND)
PCD_OTHER(30, EFI_STATUS, (CONST EFI_GUID **), EFI_NOT_FOUND)
#undef PCD_OTHER

constinit PCD_PROTOCOL mRecordingPcd = {
    RecOther0,  RecGet8,    RecOther2,  RecGet32,   RecOther4,  RecOther5,  RecGetBool, RecOther7,
    RecOther8,  RecOther9,  RecOther10, RecOther11, RecOther12, RecOther13, RecOther14, RecOther15,
    RecOther16, RecSet32,   RecOther18, RecOther19, RecOther20, RecOther21, RecOther22, RecOther23,
    RecOther24, RecOther25, RecOther26, RecOther27, RecOther28, RecOther29, RecOther30,
};

// The handle the platform installed PCD_PROTOCOL on, found once.
EFI_STATUS FindPlatformPcd() {
  if (mPcdHandle != nullptr) {
    return EFI_SUCCESS;
  }
  return HarnessFindProtocolHandle(gBS, &gPcdProtocolGuid, &mPcdHandle, &mPlatformPcd);
}

// ---- Recording debug print service -------------------------------------------

constinit DEBUG_MESSAGE mMessages[DEBUG_MESSAGE_CAPACITY] = {};
constinit UINTN mMessageCount = 0;

EFI_STATUS EFIAPI RecordingPrint(UINTN ErrorLevel, CONST CHAR8 *Format, VA_LIST Marker) {
  if (mMessageCount < DEBUG_MESSAGE_CAPACITY) {
    DEBUG_MESSAGE &Message = mMessages[mMessageCount];
    Message.Level = ErrorLevel;
    AsciiVSPrint(Message.Text, sizeof(Message.Text), Format, Marker);
  }
  mMessageCount++;
  return EFI_SUCCESS;
}

constinit DEBUG_PRINT_SERVICE_PROTOCOL mRecordingDebugService = {RecordingPrint};
constinit EFI_HANDLE mDebugHandle = nullptr;
// A service the platform had already installed is replaced in place, not shadowed.
constinit VOID *mPlatformDebugService = nullptr;

// ---- Variable services ------------------------------------------------------

constinit CHAR16 mSetupName[] = SETUP_VARIABLE_NAME;

using GET_VARIABLE = EFI_STATUS(EFIAPI *)(CHAR16 *, EFI_GUID *, UINT32 *, UINTN *, VOID *);
using SET_VARIABLE = EFI_STATUS(EFIAPI *)(CHAR16 *, EFI_GUID *, UINT32, UINTN, VOID *);

constinit GET_VARIABLE mFirmwareGetVariable = nullptr;
constinit SET_VARIABLE mFirmwareSetVariable = nullptr;
constinit UINTN mSetupReads = 0;
constinit UINTN mSetupWrites = 0;

BOOLEAN IsSetup(CONST CHAR16 *Name, CONST EFI_GUID *Guid) {
  return Name != nullptr && Guid != nullptr && StrCmp(Name, mSetupName) == 0 && CompareGuid(Guid, &gSetupVariableGuid);
}

EFI_STATUS EFIAPI CountingGetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *Size, VOID *Data) {
  if (IsSetup(Name, Guid)) {
    mSetupReads++;
  }
  return mFirmwareGetVariable(Name, Guid, Attributes, Size, Data);
}

EFI_STATUS EFIAPI CountingSetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 Attributes, UINTN Size, VOID *Data) {
  if (IsSetup(Name, Guid)) {
    mSetupWrites++;
  }
  return mFirmwareSetVariable(Name, Guid, Attributes, Size, Data);
}

GET_VARIABLE FirmwareGetVariable() { return mFirmwareGetVariable != nullptr ? mFirmwareGetVariable : gRT->GetVariable; }
SET_VARIABLE FirmwareSetVariable() { return mFirmwareSetVariable != nullptr ? mFirmwareSetVariable : gRT->SetVariable; }

// The table's checksum must stay right for anyone who verifies it.
VOID RefreshRuntimeServicesCrc() {
  UINT32 Crc = 0;
  gRT->Hdr.CRC32 = 0;
  gBS->CalculateCrc32(gRT, gRT->Hdr.HeaderSize, &Crc);
  gRT->Hdr.CRC32 = Crc;
}

}  // namespace

// ---- Result lines -----------------------------------------------------------

VOID EFIAPI HarnessPrint(CONST CHAR8 *Format, ...) {
  CHAR8 Line[LINE_LENGTH];
  VA_LIST Marker;
  VA_START(Marker, Format);
  AsciiVSPrint(Line, sizeof(Line), Format, Marker);
  VA_END(Marker);
  ConsoleLine(Line);
}

BOOLEAN EFIAPI HarnessCheck(BOOLEAN Pass, CONST CHAR8 *Name, CONST CHAR8 *DetailFormat, ...) {
  CHAR8 Details[LINE_LENGTH - 64];
  VA_LIST Marker;
  VA_START(Marker, DetailFormat);
  AsciiVSPrint(Details, sizeof(Details), DetailFormat, Marker);
  VA_END(Marker);
  if (Pass) {
    mPassed++;
  } else {
    mFailed++;
  }
  HarnessPrint("BOARDTEST %a %a %a", Name, Pass ? "PASS" : "FAIL", Details);
  return Pass;
}

VOID EFIAPI HarnessInfo(CONST CHAR8 *Name, CONST CHAR8 *DetailFormat, ...) {
  CHAR8 Details[LINE_LENGTH - 64];
  VA_LIST Marker;
  VA_START(Marker, DetailFormat);
  AsciiVSPrint(Details, sizeof(Details), DetailFormat, Marker);
  VA_END(Marker);
  HarnessPrint("BOARDTEST-INFO %a %a", Name, Details);
}

UINTN HarnessPassed(VOID) { return mPassed; }
UINTN HarnessFailed(VOID) { return mFailed; }

// ---- Recording PCD protocol ---------------------------------------------------

EFI_STATUS PcdRecorderInstall(VOID) {
  if (mPcdRecorderInstalled) {
    return EFI_SUCCESS;
  }
  EFI_STATUS Status = FindPlatformPcd();
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = gBS->ReinstallProtocolInterface(mPcdHandle, &gPcdProtocolGuid, mPlatformPcd, &mRecordingPcd);
  if (!EFI_ERROR(Status)) {
    mPcdRecorderInstalled = TRUE;
  }
  return Status;
}

EFI_STATUS PcdRecorderRemove(VOID) {
  if (!mPcdRecorderInstalled) {
    return EFI_SUCCESS;
  }
  EFI_STATUS Status = gBS->ReinstallProtocolInterface(mPcdHandle, &gPcdProtocolGuid, &mRecordingPcd, mPlatformPcd);
  if (!EFI_ERROR(Status)) {
    mPcdRecorderInstalled = FALSE;
  }
  return Status;
}

EFI_STATUS PcdWithdraw(VOID) {
  EFI_STATUS Status = PcdRecorderRemove();
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = FindPlatformPcd();
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = gBS->UninstallProtocolInterface(mPcdHandle, &gPcdProtocolGuid, mPlatformPcd);
  if (!EFI_ERROR(Status)) {
    mPcdWithdrawn = TRUE;
  }
  return Status;
}

EFI_STATUS PcdRestore(VOID) {
  if (!mPcdWithdrawn) {
    return EFI_SUCCESS;
  }
  EFI_STATUS Status = gBS->InstallProtocolInterface(&mPcdHandle, &gPcdProtocolGuid, EFI_NATIVE_INTERFACE, mPlatformPcd);
  if (EFI_ERROR(Status)) {
    // The handle went away with its last protocol: give the PCD a new one.
    mPcdHandle = nullptr;
    Status = gBS->InstallProtocolInterface(&mPcdHandle, &gPcdProtocolGuid, EFI_NATIVE_INTERFACE, mPlatformPcd);
  }
  if (!EFI_ERROR(Status)) {
    mPcdWithdrawn = FALSE;
  }
  return Status;
}

VOID *PcdPlatformInterface(VOID) {
  FindPlatformPcd();
  return mPlatformPcd;
}

UINTN PcdCallCount(VOID) { return mPcdCallCount; }
CONST PCD_CALL *PcdCallAt(UINTN Index) { return Index < PCD_CALL_CAPACITY ? &mPcdCalls[Index] : nullptr; }

// ---- Recording debug print service -------------------------------------------

EFI_STATUS DebugRecorderInstall(VOID) {
  EFI_HANDLE Handle = nullptr;
  if (!EFI_ERROR(HarnessFindProtocolHandle(gBS, &gDebugPrintServiceProtocolGuid, &Handle, &mPlatformDebugService))) {
    mDebugHandle = Handle;
    return gBS->ReinstallProtocolInterface(Handle, &gDebugPrintServiceProtocolGuid, mPlatformDebugService,
                                           &mRecordingDebugService);
  }
  mPlatformDebugService = nullptr;
  mDebugHandle = nullptr;
  return gBS->InstallProtocolInterface(&mDebugHandle, &gDebugPrintServiceProtocolGuid, EFI_NATIVE_INTERFACE,
                                       &mRecordingDebugService);
}

EFI_STATUS DebugRecorderRemove(VOID) {
  if (mDebugHandle == nullptr) {
    return EFI_SUCCESS;
  }
  if (mPlatformDebugService != nullptr) {
    return gBS->ReinstallProtocolInterface(mDebugHandle, &gDebugPrintServiceProtocolGuid, &mRecordingDebugService,
                                           mPlatformDebugService);
  }
  return gBS->UninstallProtocolInterface(mDebugHandle, &gDebugPrintServiceProtocolGuid, &mRecordingDebugService);
}

UINTN DebugMessageCount(VOID) { return mMessageCount; }
CONST DEBUG_MESSAGE *DebugMessageAt(UINTN Index) { return Index < DEBUG_MESSAGE_CAPACITY ? &mMessages[Index] : nullptr; }

// ---- Variable services ------------------------------------------------------

VOID VariableHooksInstall(VOID) {
  if (mFirmwareGetVariable != nullptr) {
    return;
  }
  mFirmwareGetVariable = gRT->GetVariable;
  mFirmwareSetVariable = gRT->SetVariable;
  gRT->GetVariable = CountingGetVariable;
  gRT->SetVariable = CountingSetVariable;
  RefreshRuntimeServicesCrc();
}

VOID VariableHooksRemove(VOID) {
  if (mFirmwareGetVariable == nullptr) {
    return;
  }
  gRT->GetVariable = mFirmwareGetVariable;
  gRT->SetVariable = mFirmwareSetVariable;
  mFirmwareGetVariable = nullptr;
  mFirmwareSetVariable = nullptr;
  RefreshRuntimeServicesCrc();
}

UINTN SetupReadCount(VOID) { return mSetupReads; }
UINTN SetupWriteCount(VOID) { return mSetupWrites; }

EFI_STATUS SetupStore(CONST SETUP_CONFIG *Setup, UINT32 Attributes) {
  return FirmwareSetVariable()(mSetupName, &gSetupVariableGuid, Attributes, sizeof(*Setup), (VOID *)Setup);
}

EFI_STATUS SetupDelete(VOID) { return FirmwareSetVariable()(mSetupName, &gSetupVariableGuid, 0, 0, nullptr); }

EFI_STATUS SetupLoad(SETUP_CONFIG *Setup, UINT32 *Attributes, UINTN *Size) {
  ZeroMem(Setup, sizeof(*Setup));
  *Attributes = 0;
  *Size = sizeof(*Setup);
  return FirmwareGetVariable()(mSetupName, &gSetupVariableGuid, Attributes, Size, Setup);
}

// ---- Configuration table and memory map ---------------------------------------

UINTN ConfigTableCount(CONST EFI_GUID *Guid, VOID **First) {
  UINTN Count = 0;
  *First = nullptr;
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (CompareGuid(&gST->ConfigurationTable[Index].VendorGuid, Guid)) {
      if (Count == 0) {
        *First = gST->ConfigurationTable[Index].VendorTable;
      }
      Count++;
    }
  }
  return Count;
}

UINT32 MemoryTypeOf(EFI_PHYSICAL_ADDRESS Address) {
  UINTN MapSize = 0;
  UINTN MapKey = 0;
  UINTN DescriptorSize = 0;
  UINT32 DescriptorVersion = 0;
  gBS->GetMemoryMap(&MapSize, nullptr, &MapKey, &DescriptorSize, &DescriptorVersion);
  // Room for the descriptors the allocation itself may add.
  MapSize += 8 * (DescriptorSize != 0 ? DescriptorSize : sizeof(EFI_MEMORY_DESCRIPTOR));
  VOID *Map = nullptr;
  if (EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, MapSize, &Map))) {
    return EfiMaxMemoryType;
  }
  UINT32 Type = EfiMaxMemoryType;
  if (!EFI_ERROR(gBS->GetMemoryMap(&MapSize, (EFI_MEMORY_DESCRIPTOR *)Map, &MapKey, &DescriptorSize, &DescriptorVersion))) {
    for (UINTN Offset = 0; Offset + DescriptorSize <= MapSize; Offset += DescriptorSize) {
      CONST EFI_MEMORY_DESCRIPTOR *Entry = (CONST EFI_MEMORY_DESCRIPTOR *)((UINT8 *)Map + Offset);
      if (Address >= Entry->PhysicalStart && Address - Entry->PhysicalStart < Entry->NumberOfPages * 4096) {
        Type = Entry->Type;
        break;
      }
    }
  }
  gBS->FreePool(Map);
  return Type;
}

// ---- Images --------------------------------------------------------------------

namespace {

constinit EFI_GUID mLoadedImageGuid = HARNESS_LOADED_IMAGE_GUID;
constinit EFI_GUID mSimpleFileSystemGuid = HARNESS_SIMPLE_FILE_SYSTEM_GUID;

EFI_STATUS ReadImageFile(CONST CHAR8 *Name, VOID **Buffer, UINTN *Size) {
  CHAR16 Path[80];
  CONST CHAR8 *Parts[] = {"\\images\\", Name, ".efi"};
  UINTN Length = 0;
  for (CONST CHAR8 *Part : Parts) {
    for (; *Part != '\0' && Length + 1 < ARRAY_SIZE(Path); Part++) {
      Path[Length++] = (CHAR16)(UINT8)*Part;
    }
  }
  Path[Length] = 0;

  HARNESS_LOADED_IMAGE *Self = nullptr;
  EFI_STATUS Status = gBS->HandleProtocol(gImageHandle, &mLoadedImageGuid, (VOID **)&Self);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  HARNESS_SIMPLE_FILE_SYSTEM *FileSystem = nullptr;
  Status = gBS->HandleProtocol(Self->DeviceHandle, &mSimpleFileSystemGuid, (VOID **)&FileSystem);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  HARNESS_FILE *Root = nullptr;
  Status = FileSystem->OpenVolume(FileSystem, &Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  HARNESS_FILE *File = nullptr;
  Status = Root->Open(Root, &File, Path, HARNESS_FILE_MODE_READ, 0);
  if (!EFI_ERROR(Status)) {
    // Seeking to the end is the one portable way to learn a file's size.
    UINT64 End = 0;
    Status = File->SetPosition(File, ~0ull);
    if (!EFI_ERROR(Status)) {
      Status = File->GetPosition(File, &End);
    }
    if (!EFI_ERROR(Status)) {
      Status = File->SetPosition(File, 0);
    }
    if (!EFI_ERROR(Status)) {
      Status = gBS->AllocatePool(EfiBootServicesData, End, Buffer);
    }
    if (!EFI_ERROR(Status)) {
      UINTN Read = End;
      Status = File->Read(File, &Read, *Buffer);
      if (!EFI_ERROR(Status) && Read != End) {
        Status = EFI_END_OF_FILE;
      }
      if (EFI_ERROR(Status)) {
        gBS->FreePool(*Buffer);
        *Buffer = nullptr;
      }
      *Size = Read;
    }
    File->Close(File);
  }
  Root->Close(Root);
  return Status;
}

}  // namespace

EFI_STATUS ImageRun(CONST CHAR8 *Name, EFI_STATUS *LoadStatus, EFI_STATUS *EntryStatus) {
  *LoadStatus = EFI_NOT_STARTED;
  *EntryStatus = EFI_NOT_STARTED;
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  EFI_STATUS Status = ReadImageFile(Name, &Buffer, &Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE Child = nullptr;
  *LoadStatus = gBS->LoadImage(FALSE, gImageHandle, nullptr, Buffer, Size, &Child);
  gBS->FreePool(Buffer);
  if (EFI_ERROR(*LoadStatus)) {
    return *LoadStatus;
  }
  UINTN ExitDataSize = 0;
  CHAR16 *ExitData = nullptr;
  *EntryStatus = gBS->StartImage(Child, &ExitDataSize, &ExitData);
  return EFI_SUCCESS;
}

// ---- Page protection ----------------------------------------------------------------

namespace {

constinit EFI_GUID mFirmwareVolume2Guid = {0x220E73B6, 0x6BDB, 0x4413, {0x84, 0x05, 0xB9, 0x74, 0xB1, 0x08, 0x61, 0x9A}};
constinit EFI_GUID mDevicePathGuid = {0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
// The firmware-file node's name: any GUID does, the image comes from a buffer.
constexpr EFI_GUID PROBE_FILE_NAME = {0x5E2C4B7A, 0x0D1F, 0x4A8E, {0x9B, 0x63, 0x27, 0xC4, 0x1D, 0x80, 0xF5, 0x3A}};

constexpr UINT64 PAGE_PRESENT = BIT0;
constexpr UINT64 PAGE_WRITABLE = BIT1;
constexpr UINT64 PAGE_LARGE = BIT7;
constexpr UINT64 PAGE_NO_EXECUTE = 1ull << 63;
constexpr UINT64 PAGE_ADDRESS = 0x000FFFFFFFFFF000ull;

// Effective attributes of the page holding Address under the current page
// tables (identity mapped): writable only if every level allows it, never
// executed if any level forbids it. 0 when not present.
UINT64 PageAttributes(UINT64 Address) {
  UINT64 Cr3, Cr4;
  __asm__ __volatile__("movq %%cr3, %0" : "=r"(Cr3));
  __asm__ __volatile__("movq %%cr4, %0" : "=r"(Cr4));
  UINT64 Table = Cr3 & PAGE_ADDRESS;
  UINT64 Writable = PAGE_WRITABLE;
  UINT64 NoExecute = 0;
  // CR4.LA57: five levels.
  for (UINTN Shift = (Cr4 & (1ull << 12)) != 0 ? 48 : 39; Shift >= 12; Shift -= 9) {
    UINT64 Entry = ((volatile UINT64 *)Table)[(Address >> Shift) & 0x1FF];
    if ((Entry & PAGE_PRESENT) == 0) {
      return 0;
    }
    Writable &= Entry;
    NoExecute |= Entry & PAGE_NO_EXECUTE;
    if (Shift == 12 || ((Shift == 21 || Shift == 30) && (Entry & PAGE_LARGE) != 0)) {
      break;
    }
    Table = Entry & PAGE_ADDRESS;
  }
  return PAGE_PRESENT | Writable | NoExecute;
}

UINTN DevicePathSize(CONST UINT8 *Path) {
  UINTN Size = 0;
  while (!(Path[Size] == 0x7F && Path[Size + 1] == 0xFF)) {
    Size += (UINTN)Path[Size + 2] | ((UINTN)Path[Size + 3] << 8);
  }
  return Size;
}

}  // namespace

EFI_STATUS ImageProtection(CONST CHAR8 *Name, IMAGE_PROTECTION *Result) {
  ZeroMem(Result, sizeof(*Result));
  VOID *Buffer = nullptr;
  UINTN Size = 0;
  EFI_STATUS Status = ReadImageFile(Name, &Buffer, &Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // <a firmware volume's device path>/FvFile(PROBE_FILE_NAME)
  UINTN Handles = 0;
  EFI_HANDLE *Volumes = nullptr;
  CONST UINT8 *VolumePath = nullptr;
  Status = gBS->LocateHandleBuffer(ByProtocol, &mFirmwareVolume2Guid, nullptr, &Handles, &Volumes);
  if (!EFI_ERROR(Status)) {
    Status = Handles > 0 ? gBS->HandleProtocol(Volumes[0], &mDevicePathGuid, (VOID **)&VolumePath) : EFI_NOT_FOUND;
    gBS->FreePool(Volumes);
  }
  UINT8 *Path = nullptr;
  if (!EFI_ERROR(Status)) {
    UINTN Prefix = DevicePathSize(VolumePath);
    Status = gBS->AllocatePool(EfiBootServicesData, Prefix + 24, (VOID **)&Path);
    if (!EFI_ERROR(Status)) {
      CopyMem(Path, VolumePath, Prefix);
      CONST UINT8 FileNode[4] = {0x04, 0x06, 20, 0};
      CopyMem(Path + Prefix, FileNode, 4);
      CopyMem(Path + Prefix + 4, &PROBE_FILE_NAME, sizeof(EFI_GUID));
      CONST UINT8 End[4] = {0x7F, 0xFF, 4, 0};
      CopyMem(Path + Prefix + 20, End, 4);
    }
  }

  EFI_HANDLE Child = nullptr;
  if (!EFI_ERROR(Status)) {
    Status = gBS->LoadImage(FALSE, gImageHandle, (EFI_DEVICE_PATH_PROTOCOL *)Path, Buffer, Size, &Child);
    gBS->FreePool(Path);
  }
  gBS->FreePool(Buffer);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  HARNESS_LOADED_IMAGE *Loaded = nullptr;
  Status = gBS->HandleProtocol(Child, &mLoadedImageGuid, (VOID **)&Loaded);
  if (!EFI_ERROR(Status)) {
    CONST UINT8 *Image = (CONST UINT8 *)Loaded->ImageBase;
    Result->ImageBase = (UINT64)(UINTN)Image;
    Result->ImageSize = Loaded->ImageSize;
    UINT32 Pe = *(CONST UINT32 *)(Image + 0x3C);
    UINT16 Sections = *(CONST UINT16 *)(Image + Pe + 6);
    UINT16 OptionalSize = *(CONST UINT16 *)(Image + Pe + 20);
    Result->SectionAlignment = *(CONST UINT32 *)(Image + Pe + 24 + 32);
    Result->FileAlignment = *(CONST UINT32 *)(Image + Pe + 24 + 36);
    UINT32 Headers = *(CONST UINT32 *)(Image + Pe + 24 + 60);

    // Every page of the image is the headers' or one section's.
    auto Count = [&](UINT64 Start, UINT64 Length, BOOLEAN Code) {
      for (UINT64 Page = Start & ~0xFFFull; Page < Start + Length; Page += 0x1000) {
        UINT64 Attributes = PageAttributes(Result->ImageBase + Page);
        BOOLEAN Writable = (Attributes & PAGE_WRITABLE) != 0;
        BOOLEAN Executable = (Attributes & PAGE_NO_EXECUTE) == 0;
        Result->WritableExecutablePages += Writable && Executable;
        if (Code) {
          Result->CodePages++;
          Result->CodePagesReadOnly += !Writable;
          Result->CodePagesExecutable += Executable;
        } else {
          Result->OtherPages++;
          Result->OtherPagesNoExecute += !Executable;
        }
      }
    };
    Count(0, Headers, FALSE);
    CONST UINT8 *Section = Image + Pe + 24 + OptionalSize;
    for (UINT16 Index = 0; Index < Sections; Index++, Section += 40) {
      UINT32 VirtualSize = *(CONST UINT32 *)(Section + 8);
      UINT32 VirtualAddress = *(CONST UINT32 *)(Section + 12);
      UINT32 Characteristics = *(CONST UINT32 *)(Section + 36);
      Count(VirtualAddress, VirtualSize, (Characteristics & 0x20000020) != 0);  // MEM_EXECUTE or CNT_CODE
    }
  }
  gBS->UnloadImage(Child);
  return Status;
}
