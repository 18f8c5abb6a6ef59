// The platform's "Setup" variable: identity and the bytes the drivers interpret.
#pragma once

#include <Uefi.h>

#define SETUP_VARIABLE_GUID {0xEC87D643, 0xEBA4, 0x4BB5, {0xA1, 0xE5, 0x3F, 0x3E, 0x36, 0xB2, 0x0D, 0xA9}}
extern EFI_GUID gSetupVariableGuid;

#define SETUP_VARIABLE_NAME u"Setup"
#define SETUP_VARIABLE_SIZE 669
// Tuning bytes holding this value leave their register field as the hardware has it.
#define SETUP_VALUE_KEEP 0xFF

#pragma pack(push, 1)
typedef struct {
  UINT8 Reserved0[0x5E];
  UINT8 SioPowerOffInhibit;      // 0x05E
  UINT8 SioPowerOffInhibitMode;  // 0x05F
  UINT8 Reserved60[0x20A - 0x60];
  UINT8 SiTuneEnable;            // 0x20A
  UINT8 Reserved20B;
  UINT8 SiCtrl0Bits31To28[5];    // 0x20C
  UINT8 SiCtrl0Bits21To20[5];    // 0x211
  UINT8 SiCtrl0Bits2To0[5];      // 0x216
  UINT8 SiCtrl1Bits31To28;       // 0x21B
  UINT8 SiCtrl1Bits21To20;
  UINT8 SiCtrl1Bits2To0;
  UINT8 SiCtrl3Bits31To28;       // 0x21E
  UINT8 SiCtrl3Bits21To20;
  UINT8 SiCtrl3Bits2To0;
  UINT8 SiCtrl4Bits31To28;       // 0x221
  UINT8 SiCtrl4Bits21To20;
  UINT8 SiCtrl4Bits2To0;
  UINT8 SiLinkBit30[2];          // 0x224
  UINT8 SiLinkBits22To20[2];     // 0x226
  UINT8 SiLinkBits10To8[2];      // 0x228
  UINT8 SiLinkBits2To0[2];       // 0x22A
  UINT8 Reserved22C[2];
  UINT8 ProbeGatedOption;        // 0x22E
  UINT8 Reserved22F[0x23A - 0x22F];
  UINT8 BoardProbeResult;        // 0x23A
  UINT8 Reserved23B[0x286 - 0x23B];
  UINT8 SioPowerOffEnable;       // 0x286
  UINT8 Reserved287[SETUP_VARIABLE_SIZE - 0x287];
} SETUP_CONFIG;
#pragma pack(pop)

static_assert(sizeof(SETUP_CONFIG) == SETUP_VARIABLE_SIZE, "SETUP_CONFIG size");
static_assert(OFFSET_OF(SETUP_CONFIG, SioPowerOffInhibit) == 0x05E, "SioPowerOffInhibit");
static_assert(OFFSET_OF(SETUP_CONFIG, SioPowerOffInhibitMode) == 0x05F, "SioPowerOffInhibitMode");
static_assert(OFFSET_OF(SETUP_CONFIG, SiTuneEnable) == 0x20A, "SiTuneEnable");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl0Bits31To28) == 0x20C, "SiCtrl0Bits31To28");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl0Bits21To20) == 0x211, "SiCtrl0Bits21To20");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl0Bits2To0) == 0x216, "SiCtrl0Bits2To0");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl1Bits31To28) == 0x21B, "SiCtrl1Bits31To28");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl1Bits21To20) == 0x21C, "SiCtrl1Bits21To20");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl1Bits2To0) == 0x21D, "SiCtrl1Bits2To0");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl3Bits31To28) == 0x21E, "SiCtrl3Bits31To28");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl3Bits21To20) == 0x21F, "SiCtrl3Bits21To20");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl3Bits2To0) == 0x220, "SiCtrl3Bits2To0");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl4Bits31To28) == 0x221, "SiCtrl4Bits31To28");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl4Bits21To20) == 0x222, "SiCtrl4Bits21To20");
static_assert(OFFSET_OF(SETUP_CONFIG, SiCtrl4Bits2To0) == 0x223, "SiCtrl4Bits2To0");
static_assert(OFFSET_OF(SETUP_CONFIG, SiLinkBit30) == 0x224, "SiLinkBit30");
static_assert(OFFSET_OF(SETUP_CONFIG, SiLinkBits22To20) == 0x226, "SiLinkBits22To20");
static_assert(OFFSET_OF(SETUP_CONFIG, SiLinkBits10To8) == 0x228, "SiLinkBits10To8");
static_assert(OFFSET_OF(SETUP_CONFIG, SiLinkBits2To0) == 0x22A, "SiLinkBits2To0");
static_assert(OFFSET_OF(SETUP_CONFIG, ProbeGatedOption) == 0x22E, "ProbeGatedOption");
static_assert(OFFSET_OF(SETUP_CONFIG, BoardProbeResult) == 0x23A, "BoardProbeResult");
static_assert(OFFSET_OF(SETUP_CONFIG, SioPowerOffEnable) == 0x286, "SioPowerOffEnable");

// Every field above by name, with its offset and size taken from the
// structure itself, so that tools decoding a Setup image cannot drift from
// what the drivers read.
typedef struct {
  const char *Name;
  UINT32 Offset;
  UINT32 Size;
} SETUP_FIELD_INFO;

#define SETUP_FIELD(Member) {#Member, OFFSET_OF(SETUP_CONFIG, Member), sizeof(((SETUP_CONFIG *)0)->Member)}
constexpr SETUP_FIELD_INFO kSetupFields[] = {
    SETUP_FIELD(SioPowerOffInhibit), SETUP_FIELD(SioPowerOffInhibitMode), SETUP_FIELD(SiTuneEnable),
    SETUP_FIELD(SiCtrl0Bits31To28),  SETUP_FIELD(SiCtrl0Bits21To20),      SETUP_FIELD(SiCtrl0Bits2To0),
    SETUP_FIELD(SiCtrl1Bits31To28),  SETUP_FIELD(SiCtrl1Bits21To20),      SETUP_FIELD(SiCtrl1Bits2To0),
    SETUP_FIELD(SiCtrl3Bits31To28),  SETUP_FIELD(SiCtrl3Bits21To20),      SETUP_FIELD(SiCtrl3Bits2To0),
    SETUP_FIELD(SiCtrl4Bits31To28),  SETUP_FIELD(SiCtrl4Bits21To20),      SETUP_FIELD(SiCtrl4Bits2To0),
    SETUP_FIELD(SiLinkBit30),        SETUP_FIELD(SiLinkBits22To20),       SETUP_FIELD(SiLinkBits10To8),
    SETUP_FIELD(SiLinkBits2To0),     SETUP_FIELD(ProbeGatedOption),       SETUP_FIELD(BoardProbeResult),
    SETUP_FIELD(SioPowerOffEnable),
};
#undef SETUP_FIELD

// A variable service with the GetVariable signature: the runtime services'
// in DXE, the SMM variable protocol's get operation in SMM.
typedef EFI_STATUS(EFIAPI *SETUP_GET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes,
                                               UINTN *DataSize, VOID *Data);

// Reads "Setup" through GetVariable with a size word of 669. The buffer is
// cleared first so a stored variable shorter than 669 bytes never leaves
// stale stack bytes behind. Attributes NULL passes no attributes pointer (the
// SMM read path); otherwise the word starts at 0 and receives what
// GetVariable returned. DataSize (optional) receives the size returned.
EFI_STATUS EFIAPI SetupVariableReadWith(SETUP_GET_VARIABLE GetVariable, SETUP_CONFIG *Setup, UINT32 *Attributes,
                                        UINTN *DataSize);

// The DXE read path: SetupVariableReadWith through the runtime services,
// always with an attributes word.
EFI_STATUS EFIAPI SetupVariableRead(EFI_RUNTIME_SERVICES *RuntimeServices, SETUP_CONFIG *Setup, UINT32 *Attributes, UINTN *DataSize);

// Whether a variable of DataSize bytes holds the byte at Offset. A driver
// treats a variable too short for the last byte it reads as missing: the
// cleared bytes past its end are not settings, and acting on a setting
// half-present (a tuning area cut in two) is worse than acting on none.
#define SETUP_HOLDS(DataSize, Offset) ((DataSize) > (Offset))

// The DXE write path: the whole image back with the attributes and size read.
EFI_STATUS EFIAPI SetupVariableWrite(EFI_RUNTIME_SERVICES *RuntimeServices, SETUP_CONFIG *Setup, UINT32 Attributes, UINTN DataSize);
