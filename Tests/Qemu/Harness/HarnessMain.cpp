// BoardTestHarness.efi: runs the DXE driver images on real firmware under
// the test cases named on its command line and checks what they did.
//
//   BoardTestHarness.efi -images BoardInitDxe SignalTuneDxe SubsysIdDxe
//                        -cases setup-absent pcd-withdrawn setup-written
//
// Cases, each loading and starting every image afresh:
//   setup-absent   no Setup variable: every entry succeeds, nothing is written
//   pcd-withdrawn  no PCD_PROTOCOL: the configuration buffer reports it through
//                  the debug print service, entries still succeed
//   setup-written  a Setup variable chosen here: BoardInitDxe mirrors the probe
//                  outcome into it, nothing else changes
//   setup-kept     (next boot) the variable as setup-written left it: same
//                  outcome, so nobody writes it
// Every image is also checked for its PCD traffic, debug messages, Setup
// reads and writes, and the shared CPU frequency record.
#include <Library/BaseLib.h>
#include <Library/BaseMemoryLib.h>
#include <Library/IoLib.h>
#include <Library/PrintLib.h>
#include <Library/UefiBootServicesTableLib.h>
#include <Library/UefiRuntimeServicesTableLib.h>
#include <Protocol/Pcd.h>
#include <Protocol/PiPcd.h>

#include "Harness.h"
#include "HarnessUefi.h"

namespace {

constexpr UINTN MAX_IMAGES = 8;
constexpr UINTN MAX_CASES = 8;
constexpr UINTN NAME_LENGTH = 32;

constexpr UINT32 SETUP_ATTRIBUTES = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

// FCH GPIO control register of pin 89, the board strap BoardInitDxe probes.
constexpr UINTN PIN89_GPIO_CONTROL = 0xFED80000 + 0x1500 + 89 * 4;
constexpr UINT32 PROBE_MASK = 0xFFFF0000;
constexpr UINT32 PROBE_PATTERN = 0x00150000;

constexpr UINTN DEBUG_LEVEL_ERROR = 0x80000000;
constexpr CONST CHAR8 *PCD_MISSING_MESSAGE =
    "[AmdCfgPcdBufLibDxeConstructor] LocateProtocol: gPcdProtocolGuid, Status: Not Found\r\n";

constinit CHAR8 mImages[MAX_IMAGES][NAME_LENGTH] = {};
constinit UINTN mImageCount = 0;
constinit CHAR8 mCases[MAX_CASES][NAME_LENGTH] = {};
constinit UINTN mCaseCount = 0;

// The CPU frequency record once one has been seen, and its contents then.
constinit CPU_FREQUENCY_RECORD *mRecord = nullptr;
constinit CPU_FREQUENCY_RECORD mRecordSeen = {};

// What the probe register read after BoardInitDxe last ran.
constinit UINT32 mProbeRegister = 0;

BOOLEAN Equal(CONST CHAR8 *Left, CONST CHAR8 *Right) { return AsciiStrCmp(Left, Right) == 0; }

BOOLEAN HaveImage(CONST CHAR8 *Name) {
  for (UINTN Index = 0; Index < mImageCount; Index++) {
    if (Equal(mImages[Index], Name)) {
      return TRUE;
    }
  }
  return FALSE;
}

UINT8 ProbeOutcome(UINT32 Register) { return (Register & PROBE_MASK) == PROBE_PATTERN ? 1 : 0; }

// ---- Command line -------------------------------------------------------------

VOID ParseCommandLine() {
  HARNESS_LOADED_IMAGE *Self = nullptr;
  EFI_GUID LoadedImageGuid = HARNESS_LOADED_IMAGE_GUID;
  if (EFI_ERROR(gBS->HandleProtocol(gImageHandle, &LoadedImageGuid, (VOID **)&Self)) || Self->LoadOptions == nullptr) {
    return;
  }
  CONST CHAR16 *Text = (CONST CHAR16 *)Self->LoadOptions;
  UINTN Length = Self->LoadOptionsSize / sizeof(CHAR16);
  enum { NONE, IMAGES, CASES } Target = NONE;
  UINTN Position = 0;
  BOOLEAN First = TRUE;  // the shell passes the program's own name first
  while (Position < Length && Text[Position] != 0) {
    while (Position < Length && Text[Position] == u' ') {
      Position++;
    }
    CHAR8 Word[NAME_LENGTH] = {};
    UINTN WordLength = 0;
    while (Position < Length && Text[Position] != 0 && Text[Position] != u' ') {
      if (WordLength + 1 < NAME_LENGTH) {
        Word[WordLength++] = (CHAR8)Text[Position];
      }
      Position++;
    }
    if (WordLength == 0) {
      continue;
    }
    if (First) {
      First = FALSE;
      if (Word[0] != '-') {
        continue;
      }
    }
    if (Equal(Word, "-images")) {
      Target = IMAGES;
    } else if (Equal(Word, "-cases")) {
      Target = CASES;
    } else if (Target == IMAGES && mImageCount < MAX_IMAGES) {
      CopyMem(mImages[mImageCount++], Word, NAME_LENGTH);
    } else if (Target == CASES && mCaseCount < MAX_CASES) {
      CopyMem(mCases[mCaseCount++], Word, NAME_LENGTH);
    }
  }
}

// ---- The Setup image the cases use ------------------------------------------------

// Every byte distinct from its neighbours, so a shifted or partial write-back
// shows; tuning enabled with a mix of programmed and kept fields.
VOID BuildInitialSetup(SETUP_CONFIG *Setup, UINT8 PredictedOutcome) {
  UINT8 *Bytes = (UINT8 *)Setup;
  for (UINTN Index = 0; Index < sizeof(*Setup); Index++) {
    Bytes[Index] = (UINT8)(0x5A ^ (Index * 7));
  }
  Setup->SiTuneEnable = 1;
  CONST UINT8 Tuning[] = {3, 0xFF, 1, 2, 0xFF, 1, 0xFF, 2, 0, 0xFF, 5, 0xFF, 0, 7, 0xFF,
                          2, 1, 4, 0xFF, 0xFF, 0xFF, 6, 2, 3, 1, 0, 2, 0xFF, 4, 0xFF, 0xFF, 6};
  CopyMem(Setup->SiCtrl0Bits31To28, Tuning, sizeof(Tuning));
  Setup->ProbeGatedOption = 1;
  // Stored as the opposite of what the probe should find, so the first boot writes.
  Setup->BoardProbeResult = PredictedOutcome ? 0 : 1;
}

// What Setup holds once BoardInitDxe has run with Outcome (when it is built).
VOID ExpectedSetupAfterProbe(CONST SETUP_CONFIG *Initial, UINT8 Outcome, SETUP_CONFIG *Expected) {
  CopyMem(Expected, Initial, sizeof(*Expected));
  if (HaveImage("BoardInitDxe") && Initial->BoardProbeResult != Outcome) {
    Expected->BoardProbeResult = Outcome;
    if (Outcome == 1) {
      Expected->ProbeGatedOption = 0;
    }
  }
}

// "equal" or where the first difference is.
VOID DescribeDifference(CONST SETUP_CONFIG *Actual, CONST SETUP_CONFIG *Expected, CHAR8 *Text, UINTN TextSize) {
  CONST UINT8 *A = (CONST UINT8 *)Actual;
  CONST UINT8 *E = (CONST UINT8 *)Expected;
  UINTN Differences = 0;
  UINTN First = 0;
  for (UINTN Index = 0; Index < sizeof(*Actual); Index++) {
    if (A[Index] != E[Index]) {
      if (Differences++ == 0) {
        First = Index;
      }
    }
  }
  if (Differences == 0) {
    AsciiSPrint(Text, TextSize, "all %d bytes as expected", (int)sizeof(*Actual));
  } else {
    AsciiSPrint(Text, TextSize, "%d bytes differ, first at 0x%03X: 0x%02X, expected 0x%02X", (int)Differences, (UINT32)First,
                A[First], E[First]);
  }
}

// ---- CPU frequency record -------------------------------------------------------

// The record as this processor should produce it, read here independently.
VOID FrequencyRecordFromCpu(CPU_FREQUENCY_RECORD *Record) {
  UINT32 Edx = 0;
  UINT32 Signature = 0;
  AsmCpuid(CPUID_ADVANCED_POWER_MANAGEMENT, nullptr, nullptr, nullptr, &Edx);
  AsmCpuid(CPUID_EXTENDED_SIGNATURE, &Signature, nullptr, nullptr, nullptr);
  Record->PowerFeatures = Edx;
  Record->PstateIndex = (UINT32)(AsmReadMsr64(MSR_PSTATE_STATUS) & 7);
  UINT32 Msr = (Edx & CPU_POWER_FEATURES_INVARIANT_TSC) ? MSR_PSTATE_DEFINITION_0 : MSR_PSTATE_DEFINITION_0 + Record->PstateIndex;
  UINT64 Definition = AsmReadMsr64(Msr);
  Record->PstateDefinition = Definition;
  BOOLEAN FiveMhzUnits = (Signature & 0xF00) == 0xF00 && (Signature & 0xFF00000) >= 0xB00000;
  if (FiveMhzUnits) {
    Record->TscFrequency = (Definition & 0xFFF) * 5000000ull;
  } else {
    UINT32 Did = (UINT32)((Definition >> 8) & 0x3F);
    UINT32 Mhz = (UINT32)(Definition & 0xFF) * 200 / (Did == 0 ? 1 : Did);
    Record->TscFrequency = (UINT64)((Mhz + 50) / 100 * 100) * 1000000ull;
  }
}

VOID CheckFrequencyRecord(CONST CHAR8 *Name) {
  VOID *Table = nullptr;
  UINTN Count = ConfigTableCount(&gCpuFrequencyRecordGuid, &Table);
  CPU_FREQUENCY_RECORD *Record = (CPU_FREQUENCY_RECORD *)Table;
  if (mRecord == nullptr) {
    // Nobody had published one before this image: it must have.
    if (Count != 1 || Record == nullptr) {
      HarnessCheck(FALSE, Name, "expected the image to publish one record, found %d tables", (int)Count);
      return;
    }
    CPU_FREQUENCY_RECORD Expected;
    FrequencyRecordFromCpu(&Expected);
    UINT32 Type = MemoryTypeOf((EFI_PHYSICAL_ADDRESS)(UINTN)Record);
    BOOLEAN Pass = Type == EfiACPIMemoryNVS && CompareMem(Record, &Expected, sizeof(Expected)) == 0;
    HarnessCheck(Pass,
                 Name,
                 "published at 0x%lX memory-type=%d tsc=%ld def=0x%lX index=%d features=0x%X (cpu: tsc=%ld def=0x%lX "
                 "index=%d features=0x%X)",
                 (UINT64)(UINTN)Record, (int)Type, Record->TscFrequency, Record->PstateDefinition, (int)Record->PstateIndex,
                 Record->PowerFeatures, Expected.TscFrequency, Expected.PstateDefinition, (int)Expected.PstateIndex,
                 Expected.PowerFeatures);
    mRecord = Record;
    CopyMem(&mRecordSeen, Record, sizeof(mRecordSeen));
    return;
  }
  BOOLEAN Same = Count == 1 && Record == mRecord && CompareMem(Record, &mRecordSeen, sizeof(mRecordSeen)) == 0;
  HarnessCheck(Same, Name, "adopted: %d table(s), first at 0x%lX (published at 0x%lX), contents %a", (int)Count,
               (UINT64)(UINTN)Record, (UINT64)(UINTN)mRecord,
               (Record != nullptr && CompareMem(Record, &mRecordSeen, sizeof(mRecordSeen)) == 0) ? "unchanged" : "changed");
}

// ---- Per-image checks ---------------------------------------------------------------

struct CASE_STATE {
  CONST CHAR8 *Case;
  BOOLEAN PcdRecorded;      // the recording PCD protocol stood in for the platform's
  BOOLEAN PcdWithdrawn;     // no PCD protocol at all
  BOOLEAN SetupWritten;     // the case that expects BoardInitDxe's write-back
  SETUP_CONFIG *Initial;    // the Setup image the case stored, if any
};

struct PCD_EXPECTED {
  PCD_CALL_KIND Kind;
  UINTN Token;
  UINT64 Value;
};

// The configuration buffer's reads, in order, in every image.
constexpr PCD_EXPECTED mBufferReads[] = {
    {PcdCallGetBool, 631, 0}, {PcdCallGet8, 571, 0},  {PcdCallGetBool, 632, 0},
    {PcdCallGet32, 581, 0},   {PcdCallGet32, 580, 0}, {PcdCallGet8, 633, 0},
};
// SubsysIdDxe's settings, in order.
constexpr PCD_EXPECTED mSubsysIdSets[] = {
    {PcdCallSet32, 623, 0x6A311C5E},
    {PcdCallSet32, 576, 0x6A341C5E},
    {PcdCallSet32, 326, 0},
};

CONST CHAR8 *KindName(PCD_CALL_KIND Kind) {
  switch (Kind) {
    case PcdCallGet8: return "Get8";
    case PcdCallGet32: return "Get32";
    case PcdCallGetBool: return "GetBool";
    case PcdCallSet32: return "Set32";
    default: return "slot";
  }
}

UINTN DescribeCall(PCD_CALL_KIND Kind, UINTN Token, UINT64 Value, BOOLEAN First, CHAR8 *Text, UINTN TextSize) {
  if (Kind == PcdCallSet32) {
    return AsciiSPrint(Text, TextSize, "%a%a(%d=0x%X)", First ? "" : " ", KindName(Kind), (int)Token, (UINT32)Value);
  }
  return AsciiSPrint(Text, TextSize, "%a%a(%d)", First ? "" : " ", KindName(Kind), (int)Token);
}

// "[Kind(Token[=Value]) ...]" for the reads or the other calls, followed by
// "expected [...]" when they do not match.
VOID DescribeCalls(UINTN From, UINTN To, BOOLEAN Sets, CONST PCD_EXPECTED *Expected, UINTN ExpectedCount, BOOLEAN Match,
                   CHAR8 *Text, UINTN TextSize) {
  UINTN Used = AsciiSPrint(Text, TextSize, "%a", "[");
  BOOLEAN First = TRUE;
  for (UINTN Index = From; Index < To && Index < PCD_CALL_CAPACITY; Index++) {
    CONST PCD_CALL *Call = PcdCallAt(Index);
    BOOLEAN IsSet = Call->Kind == PcdCallSet32 || Call->Kind == PcdCallOther;
    if (IsSet == Sets) {
      Used += DescribeCall(Call->Kind, Call->Token, Call->Value, First, Text + Used, TextSize - Used);
      First = FALSE;
    }
  }
  Used += AsciiSPrint(Text + Used, TextSize - Used, "%a", "]");
  if (Match) {
    return;
  }
  Used += AsciiSPrint(Text + Used, TextSize - Used, "%a", " expected [");
  for (UINTN Index = 0; Index < ExpectedCount; Index++) {
    Used += DescribeCall(Expected[Index].Kind, Expected[Index].Token, Expected[Index].Value, Index == 0, Text + Used,
                         TextSize - Used);
  }
  AsciiSPrint(Text + Used, TextSize - Used, "%a", "]");
}

BOOLEAN CallsMatch(UINTN From, UINTN To, BOOLEAN Sets, CONST PCD_EXPECTED *Expected, UINTN ExpectedCount) {
  UINTN Matched = 0;
  for (UINTN Index = From; Index < To; Index++) {
    CONST PCD_CALL *Call = PcdCallAt(Index);
    if (Call == nullptr) {
      return FALSE;
    }
    BOOLEAN IsSet = Call->Kind == PcdCallSet32 || Call->Kind == PcdCallOther;
    if (IsSet != Sets) {
      continue;
    }
    if (Matched >= ExpectedCount) {
      return FALSE;
    }
    CONST PCD_EXPECTED &Want = Expected[Matched++];
    if (Call->Kind != Want.Kind || Call->Token != Want.Token || (Sets && Call->Value != Want.Value)) {
      return FALSE;
    }
  }
  return Matched == ExpectedCount;
}

// Debug text with its line ends made visible.
VOID Printable(CONST CHAR8 *Text, CHAR8 *Out, UINTN OutSize) {
  UINTN Used = 0;
  for (; *Text != '\0' && Used + 3 < OutSize; Text++) {
    if (*Text == '\r' || *Text == '\n') {
      Out[Used++] = '\\';
      Out[Used++] = *Text == '\r' ? 'r' : 'n';
    } else {
      Out[Used++] = *Text;
    }
  }
  Out[Used] = '\0';
}

VOID RunImage(CASE_STATE &State, CONST CHAR8 *Image) {
  CHAR8 Name[96];
  UINTN PcdFrom = PcdCallCount();
  UINTN MessagesFrom = DebugMessageCount();
  UINTN ReadsFrom = SetupReadCount();
  UINTN WritesFrom = SetupWriteCount();

  // Names the culprit should the image never come back.
  HarnessInfo("run", "%a.%a", State.Case, Image);
  EFI_STATUS LoadStatus;
  EFI_STATUS EntryStatus;
  EFI_STATUS Status = ImageRun(Image, &LoadStatus, &EntryStatus);

  UINTN PcdTo = PcdCallCount();
  UINTN MessagesTo = DebugMessageCount();
  UINTN Reads = SetupReadCount() - ReadsFrom;
  UINTN Writes = SetupWriteCount() - WritesFrom;
  BOOLEAN IsBoardInit = Equal(Image, "BoardInitDxe");
  if (IsBoardInit) {
    mProbeRegister = MmioRead32(PIN89_GPIO_CONTROL);
    HarnessInfo("probe", "after %a: pin 89 GPIO control=0x%08X outcome=%d", Image, mProbeRegister,
                ProbeOutcome(mProbeRegister));
  }

  AsciiSPrint(Name, sizeof(Name), "%a.%a.entry", State.Case, Image);
  HarnessCheck(!EFI_ERROR(Status) && LoadStatus == EFI_SUCCESS && EntryStatus == EFI_SUCCESS, Name,
               "file=%r load=%r entry=%r", Status, LoadStatus, EntryStatus);
  if (EFI_ERROR(Status) || EFI_ERROR(LoadStatus)) {
    return;
  }

  AsciiSPrint(Name, sizeof(Name), "%a.%a.cpu-frequency-record", State.Case, Image);
  CheckFrequencyRecord(Name);

  // Debug messages: only the missing PCD protocol is worth one.
  {
    AsciiSPrint(Name, sizeof(Name), "%a.%a.debug-messages", State.Case, Image);
    UINTN Count = MessagesTo - MessagesFrom;
    CHAR8 First[DEBUG_MESSAGE_LENGTH * 2 + 32] = "";
    CONST DEBUG_MESSAGE *Message = Count > 0 ? DebugMessageAt(MessagesFrom) : nullptr;
    if (Message != nullptr) {
      CHAR8 Text[DEBUG_MESSAGE_LENGTH * 2];
      Printable(Message->Text, Text, sizeof(Text));
      AsciiSPrint(First, sizeof(First), ", first at level 0x%lX: \"%a\"", (UINT64)Message->Level, Text);
    }
    BOOLEAN Pass;
    if (State.PcdWithdrawn) {
      Pass = Count == 1 && Message != nullptr && Message->Level == DEBUG_LEVEL_ERROR && Equal(Message->Text, PCD_MISSING_MESSAGE);
    } else {
      Pass = Count == 0;
    }
    HarnessCheck(Pass, Name, "%d message(s)%a", (int)Count, First);
  }

  if (State.PcdRecorded) {
    CHAR8 Calls[360];
    AsciiSPrint(Name, sizeof(Name), "%a.%a.pcd-reads", State.Case, Image);
    BOOLEAN Match = CallsMatch(PcdFrom, PcdTo, FALSE, mBufferReads, ARRAY_SIZE(mBufferReads));
    DescribeCalls(PcdFrom, PcdTo, FALSE, mBufferReads, ARRAY_SIZE(mBufferReads), Match, Calls, sizeof(Calls));
    HarnessCheck(Match, Name, "%a", Calls);

    // Only SubsysIdDxe sets anything; no image touches any other member.
    BOOLEAN SetsPcds = Equal(Image, "SubsysIdDxe");
    CONST PCD_EXPECTED *Sets = SetsPcds ? mSubsysIdSets : nullptr;
    UINTN SetCount = SetsPcds ? ARRAY_SIZE(mSubsysIdSets) : 0;
    AsciiSPrint(Name, sizeof(Name), "%a.%a.pcd-sets", State.Case, Image);
    Match = CallsMatch(PcdFrom, PcdTo, TRUE, Sets, SetCount);
    DescribeCalls(PcdFrom, PcdTo, TRUE, Sets, SetCount, Match, Calls, sizeof(Calls));
    HarnessCheck(Match, Name, "%a", Calls);
  }

  // Who reads Setup: the two drivers that interpret it, once each; SubsysIdDxe never.
  if (IsBoardInit || Equal(Image, "SignalTuneDxe") || Equal(Image, "SubsysIdDxe")) {
    UINTN ExpectedReads = Equal(Image, "SubsysIdDxe") ? 0 : 1;
    AsciiSPrint(Name, sizeof(Name), "%a.%a.setup-reads", State.Case, Image);
    HarnessCheck(Reads == ExpectedReads, Name, "GetVariable(Setup) called %d time(s), expected %d", (int)Reads,
                 (int)ExpectedReads);
  }

  UINTN ExpectedWrites = 0;
  if (IsBoardInit && State.SetupWritten && State.Initial != nullptr &&
      State.Initial->BoardProbeResult != ProbeOutcome(mProbeRegister)) {
    ExpectedWrites = 1;
  }
  AsciiSPrint(Name, sizeof(Name), "%a.%a.setup-writes", State.Case, Image);
  HarnessCheck(Writes == ExpectedWrites, Name, "SetVariable(Setup) called %d time(s), expected %d", (int)Writes,
               (int)ExpectedWrites);
}

VOID RunImages(CASE_STATE &State) {
  for (UINTN Index = 0; Index < mImageCount; Index++) {
    RunImage(State, mImages[Index]);
  }
}

// ---- Cases ----------------------------------------------------------------------------

VOID CheckPlatformRestored(CONST CHAR8 *Case, EFI_STATUS RemoveStatus) {
  CHAR8 Name[96];
  VOID *Interface = nullptr;
  EFI_STATUS Status = gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, &Interface);
  AsciiSPrint(Name, sizeof(Name), "%a.pcd-protocol-restored", Case);
  HarnessCheck(RemoveStatus == EFI_SUCCESS && Status == EFI_SUCCESS && Interface == PcdPlatformInterface(), Name,
               "restore=%r locate=%r platform's interface=%a", RemoveStatus, Status,
               Interface == PcdPlatformInterface() ? "yes" : "no");
}

VOID CaseSetupAbsent() {
  CONST CHAR8 *Case = "setup-absent";
  EFI_STATUS Deleted = SetupDelete();
  SETUP_CONFIG Setup;
  UINT32 Attributes;
  UINTN Size;
  EFI_STATUS Status = SetupLoad(&Setup, &Attributes, &Size);
  HarnessCheck(Status == EFI_NOT_FOUND, "setup-absent.setup-deleted", "delete=%r then GetVariable=%r", Deleted, Status);

  EFI_STATUS Installed = PcdRecorderInstall();
  CASE_STATE State = {Case, !EFI_ERROR(Installed), FALSE, FALSE, nullptr};
  HarnessCheck(!EFI_ERROR(Installed), "setup-absent.pcd-recorder", "reinstall=%r", Installed);
  RunImages(State);
  CheckPlatformRestored(Case, PcdRecorderRemove());

  Status = SetupLoad(&Setup, &Attributes, &Size);
  HarnessCheck(Status == EFI_NOT_FOUND, "setup-absent.setup-still-absent", "GetVariable=%r", Status);
}

VOID CasePcdWithdrawn() {
  CONST CHAR8 *Case = "pcd-withdrawn";
  EFI_STATUS Withdrawn = PcdWithdraw();
  VOID *Interface = nullptr;
  EFI_STATUS Located = gBS->LocateProtocol(&gPcdProtocolGuid, nullptr, &Interface);
  VOID *PiPcd = nullptr;
  EFI_STATUS PiLocated = gBS->LocateProtocol(&gEfiPcdProtocolGuid, nullptr, &PiPcd);
  HarnessCheck(Withdrawn == EFI_SUCCESS && Located == EFI_NOT_FOUND, "pcd-withdrawn.pcd-protocol-absent",
               "uninstall=%r LocateProtocol(gPcdProtocolGuid)=%r LocateProtocol(gEfiPcdProtocolGuid)=%r", Withdrawn, Located,
               PiLocated);

  CASE_STATE State = {Case, FALSE, TRUE, FALSE, nullptr};
  RunImages(State);
  CheckPlatformRestored(Case, PcdRestore());
}

VOID CaseSetupWritten() {
  CONST CHAR8 *Case = "setup-written";
  // The outcome the probe should find decides what is stored beforehand.
  UINT8 Predicted = ProbeOutcome(MmioRead32(PIN89_GPIO_CONTROL));
  SETUP_CONFIG Initial;
  BuildInitialSetup(&Initial, Predicted);
  EFI_STATUS Stored = SetupStore(&Initial, SETUP_ATTRIBUTES);
  SETUP_CONFIG Setup;
  UINT32 Attributes = 0;
  UINTN Size = 0;
  EFI_STATUS Status = SetupLoad(&Setup, &Attributes, &Size);
  HarnessCheck(Stored == EFI_SUCCESS && Status == EFI_SUCCESS && CompareMem(&Setup, &Initial, sizeof(Setup)) == 0,
               "setup-written.setup-created", "SetVariable=%r GetVariable=%r attributes=0x%X size=%d BoardProbeResult=%d",
               Stored, Status, Attributes, (int)Size, Initial.BoardProbeResult);

  EFI_STATUS Installed = PcdRecorderInstall();
  HarnessCheck(!EFI_ERROR(Installed), "setup-written.pcd-recorder", "reinstall=%r", Installed);
  CASE_STATE State = {Case, !EFI_ERROR(Installed), FALSE, TRUE, &Initial};
  RunImages(State);
  CheckPlatformRestored(Case, PcdRecorderRemove());

  UINT8 Outcome = ProbeOutcome(HaveImage("BoardInitDxe") ? mProbeRegister : MmioRead32(PIN89_GPIO_CONTROL));
  SETUP_CONFIG Expected;
  ExpectedSetupAfterProbe(&Initial, Outcome, &Expected);
  Status = SetupLoad(&Setup, &Attributes, &Size);
  CHAR8 Difference[120];
  DescribeDifference(&Setup, &Expected, Difference, sizeof(Difference));
  HarnessCheck(Status == EFI_SUCCESS && CompareMem(&Setup, &Expected, sizeof(Setup)) == 0, "setup-written.setup-content",
               "GetVariable=%r BoardProbeResult=%d ProbeGatedOption=%d (outcome %d, stored before %d/%d; BoardInitDxe %a); %a",
               Status, Setup.BoardProbeResult, Setup.ProbeGatedOption, Outcome, Initial.BoardProbeResult,
               Initial.ProbeGatedOption, HaveImage("BoardInitDxe") ? "run" : "not built", Difference);
  HarnessCheck(Status == EFI_SUCCESS && Attributes == SETUP_ATTRIBUTES && Size == sizeof(Setup),
               "setup-written.setup-attributes", "attributes=0x%X size=%d", Attributes, (int)Size);
}

VOID CaseSetupKept() {
  CONST CHAR8 *Case = "setup-kept";
  SETUP_CONFIG Before;
  UINT32 AttributesBefore = 0;
  UINTN SizeBefore = 0;
  EFI_STATUS Status = SetupLoad(&Before, &AttributesBefore, &SizeBefore);

  EFI_STATUS Installed = PcdRecorderInstall();
  HarnessCheck(!EFI_ERROR(Installed), "setup-kept.pcd-recorder", "reinstall=%r", Installed);
  SETUP_CONFIG Initial;
  BuildInitialSetup(&Initial, ProbeOutcome(MmioRead32(PIN89_GPIO_CONTROL)));
  CASE_STATE State = {Case, !EFI_ERROR(Installed), FALSE, FALSE, nullptr};
  RunImages(State);
  CheckPlatformRestored(Case, PcdRecorderRemove());

  // What the previous boot's setup-written left behind, across the reset.
  UINT8 Outcome = ProbeOutcome(HaveImage("BoardInitDxe") ? mProbeRegister : MmioRead32(PIN89_GPIO_CONTROL));
  SETUP_CONFIG Expected;
  ExpectedSetupAfterProbe(&Initial, Outcome, &Expected);
  CHAR8 Difference[120];
  DescribeDifference(&Before, &Expected, Difference, sizeof(Difference));
  HarnessCheck(Status == EFI_SUCCESS && CompareMem(&Before, &Expected, sizeof(Before)) == 0 &&
                   AttributesBefore == SETUP_ATTRIBUTES,
               "setup-kept.setup-persisted", "GetVariable=%r attributes=0x%X BoardProbeResult=%d (outcome %d); %a", Status,
               AttributesBefore, Before.BoardProbeResult, Outcome, Difference);

  SETUP_CONFIG After;
  UINT32 AttributesAfter = 0;
  UINTN SizeAfter = 0;
  EFI_STATUS StatusAfter = SetupLoad(&After, &AttributesAfter, &SizeAfter);
  DescribeDifference(&After, &Before, Difference, sizeof(Difference));
  HarnessCheck(StatusAfter == EFI_SUCCESS && CompareMem(&After, &Before, sizeof(After)) == 0 &&
                   AttributesAfter == AttributesBefore && SizeAfter == SizeBefore,
               "setup-kept.setup-unchanged", "GetVariable=%r attributes=0x%X size=%d; %a", StatusAfter, AttributesAfter,
               (int)SizeAfter, Difference);
}

}  // namespace

extern "C" EFI_STATUS EFIAPI _ModuleEntryPoint(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  UefiBootServicesTableLibConstructor(ImageHandle, SystemTable);
  UefiRuntimeServicesTableLibConstructor(ImageHandle, SystemTable);
  ParseCommandLine();

  HarnessPrint("BOARDTEST-BEGIN images=%d cases=%d firmware=%s rev=0x%X", (int)mImageCount, (int)mCaseCount,
               SystemTable->FirmwareVendor, SystemTable->FirmwareRevision);
  for (UINTN Index = 0; Index < mImageCount; Index++) {
    HarnessInfo("image", "%a", mImages[Index]);
  }

  // A record published before this run (an earlier run in the same boot) is
  // the one every image must adopt.
  VOID *Table = nullptr;
  UINTN Tables = ConfigTableCount(&gCpuFrequencyRecordGuid, &Table);
  if (Tables > 0) {
    mRecord = (CPU_FREQUENCY_RECORD *)Table;
    CopyMem(&mRecordSeen, mRecord, sizeof(mRecordSeen));
  }
  HarnessInfo("cpu-frequency-record", "%d table(s) before the first image", (int)Tables);

  // Sections 4 KiB aligned in memory, packed in the file: loaded as the
  // platform loads them, from its firmware volume, code is read-only and
  // everything else is never executed.
  for (UINTN Index = 0; Index < mImageCount; Index++) {
    IMAGE_PROTECTION P;
    EFI_STATUS Status = ImageProtection(mImages[Index], &P);
    CHAR8 Name[NAME_LENGTH + 24];
    AsciiSPrint(Name, sizeof(Name), "page-protection.%a", mImages[Index]);
    HarnessCheck(!EFI_ERROR(Status) && P.SectionAlignment == 0x1000 && P.CodePages > 0 &&
                     P.CodePagesReadOnly == P.CodePages && P.CodePagesExecutable == P.CodePages &&
                     P.OtherPagesNoExecute == P.OtherPages && P.WritableExecutablePages == 0,
                 Name,
                 "load=%r at 0x%lx size 0x%lx section alignment 0x%x file alignment 0x%x: code pages %d (read-only %d, "
                 "executable %d), other pages %d (no-execute %d), writable and executable %d",
                 Status, P.ImageBase, P.ImageSize, P.SectionAlignment, P.FileAlignment, (int)P.CodePages,
                 (int)P.CodePagesReadOnly, (int)P.CodePagesExecutable, (int)P.OtherPages, (int)P.OtherPagesNoExecute,
                 (int)P.WritableExecutablePages);
  }

  EFI_STATUS DebugInstalled = DebugRecorderInstall();
  HarnessCheck(!EFI_ERROR(DebugInstalled), "harness.debug-recorder", "install=%r", DebugInstalled);
  VariableHooksInstall();

  BOOLEAN Known = mImageCount > 0 && mCaseCount > 0;
  for (UINTN Index = 0; Index < mCaseCount; Index++) {
    CONST CHAR8 *Case = mCases[Index];
    HarnessInfo("case", "%a", Case);
    if (Equal(Case, "setup-absent")) {
      CaseSetupAbsent();
    } else if (Equal(Case, "pcd-withdrawn")) {
      CasePcdWithdrawn();
    } else if (Equal(Case, "setup-written")) {
      CaseSetupWritten();
    } else if (Equal(Case, "setup-kept")) {
      CaseSetupKept();
    } else {
      Known = FALSE;
      HarnessCheck(FALSE, "harness.case", "unknown case %a", Case);
    }
  }
  if (!Known) {
    HarnessCheck(FALSE, "harness.command-line", "usage: -images <Name>... -cases <case>...");
  }

  // The drivers stay resident but never call back; what they were handed
  // goes away with this image, so the platform gets its own services back.
  VariableHooksRemove();
  EFI_STATUS DebugRemoved = DebugRecorderRemove();
  HarnessCheck(!EFI_ERROR(DebugRemoved), "harness.debug-recorder-removed", "remove=%r", DebugRemoved);

  HarnessPrint("BOARDTEST-SUMMARY passed=%d failed=%d", (int)HarnessPassed(), (int)HarnessFailed());
  return HarnessFailed() == 0 ? EFI_SUCCESS : EFI_ABORTED;
}
