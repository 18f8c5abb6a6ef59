// Sx and power-button registration and dispatch, and the SMM variable protocol.
#include <cstring>
#include <vector>

#include "SmmTestSupport.h"

#include "Board/Board.h"

using namespace smmtest;

namespace {

struct HandlerCall {
  int Which;
  EFI_HANDLE DispatchHandle;
  uint32_t Type;   // the first 32-bit field of the context
  uint32_t Phase;  // the second (Sx only)
  const void *Context;
  void *CommBuffer;
  UINTN CommBufferSize;
  bool SizePresent;
  bool InSmm;
  uint16_t Cs;
};

std::vector<HandlerCall> gCalls;
sim::Firmware *gFirmware = nullptr;
sim::Board *gBoard = nullptr;

template <int Which>
EFI_STATUS EFIAPI Record(EFI_HANDLE DispatchHandle, CONST VOID *Context, VOID *CommBuffer, UINTN *CommBufferSize) {
  HandlerCall C{Which, DispatchHandle, 0, 0, Context, CommBuffer, 0, CommBufferSize != nullptr, false, 0};
  std::memcpy(&C.Type, Context, 4);
  if (Which < 10) std::memcpy(&C.Phase, static_cast<const uint8_t *>(Context) + 4, 4);
  if (CommBufferSize != nullptr) C.CommBufferSize = *CommBufferSize;
  C.InSmm = gFirmware->InSmm();
  C.Cs = gBoard->ReadCs();
  gCalls.push_back(C);
  return static_cast<EFI_STATUS>(Which);
}

class SmiDispatch : public ::testing::Test {
 protected:
  void SetUp() override {
    Sim.StartInSmm();
    Sx = Sim.SmmLocate<EFI_SMM_SX_DISPATCH2_PROTOCOL>(kSxGuid);
    Button = Sim.SmmLocate<EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL>(kPowerButtonGuid);
    ASSERT_NE(Sx, nullptr);
    ASSERT_NE(Button, nullptr);
    Sim.F->LeaveSmm();  // the core dispatches from outside SMM
    gCalls.clear();
    gFirmware = Sim.F.get();
    gBoard = Sim.B.get();
  }
  void TearDown() override {
    gFirmware = nullptr;
    gBoard = nullptr;
  }

  EFI_HANDLE RegisterSx(EFI_SMM_HANDLER_ENTRY_POINT2 Handler, EFI_SLEEP_TYPE Type, EFI_SLEEP_PHASE Phase) {
    EFI_SMM_SX_REGISTER_CONTEXT Context = {Type, Phase};
    EFI_HANDLE Handle = nullptr;
    EXPECT_EQ(Sx->Register(Sx, Handler, &Context, &Handle), EFI_SUCCESS);
    Context.Type = SxS0;  // the dispatcher keeps its own copy
    return Handle;
  }

  SmmBoot Sim;
  EFI_SMM_SX_DISPATCH2_PROTOCOL *Sx = nullptr;
  EFI_SMM_POWER_BUTTON_DISPATCH2_PROTOCOL *Button = nullptr;
};

TEST_F(SmiDispatch, SxRunsEntryHandlersOfTheTypeInRegistrationOrder) {
  EFI_HANDLE H1 = RegisterSx(&Record<1>, SxS3, SxEntry);
  RegisterSx(&Record<2>, SxS5, SxEntry);
  EFI_HANDLE H3 = RegisterSx(&Record<3>, SxS3, SxEntry);
  RegisterSx(&Record<4>, SxS3, SxExit);
  EXPECT_NE(H1, H3);
  EXPECT_EQ(Sim.F->SxHandlerCount(), 4u);

  size_t Mark = Sim.Mark();
  EXPECT_EQ(Sim.F->DispatchSx(3), 2u);
  ASSERT_EQ(gCalls.size(), 2u);
  EXPECT_EQ(gCalls[0].Which, 1);
  EXPECT_EQ(gCalls[1].Which, 3);
  EXPECT_EQ(gCalls[0].DispatchHandle, H1);
  EXPECT_EQ(gCalls[1].DispatchHandle, H3);
  for (const auto &C : gCalls) {
    EXPECT_EQ(C.Type, 3u);
    EXPECT_EQ(C.Phase, 0u);
    EXPECT_EQ(C.CommBuffer, nullptr);
    EXPECT_EQ(C.CommBufferSize, 0u);
    EXPECT_TRUE(C.InSmm);
  }
  EXPECT_NE(gCalls[0].Context, gCalls[1].Context) << "each registration's own context";
  EXPECT_FALSE(Sim.F->InSmm()) << "the SMI is over";

  auto Smis = Sim.Events("smi", Mark);
  ASSERT_EQ(Smis.size(), 2u);
  EXPECT_EQ(Smis[0]["source"], "sx");
  EXPECT_EQ(Smis[0]["dispatch"], "0x1");
  EXPECT_EQ(Smis[0]["context"], (sim::Json{{"type", "0x3"}, {"phase", "0x0"}}));
  auto Returns = Sim.Events("smi-return", Mark);
  ASSERT_EQ(Returns.size(), 2u);
  EXPECT_EQ(Returns[1]["status"], "0x3");

  gCalls.clear();
  EXPECT_EQ(Sim.F->DispatchSx(4), 0u);
  EXPECT_EQ(Sim.F->DispatchSx(5), 1u);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].Which, 2);

  auto Registers = Sim.Calls("SxRegister");
  ASSERT_EQ(Registers.size(), 4u);
  EXPECT_EQ(Registers[3]["context"], (sim::Json{{"type", "0x3"}, {"phase", "0x1"}}));
  EXPECT_EQ(Registers[3]["handle"], "0x4");
  EXPECT_EQ(Registers[3]["status"], "0x0");
}

TEST_F(SmiDispatch, RegistrationRejectsWhatTheDispatcherCannotServe) {
  EFI_SMM_SX_REGISTER_CONTEXT Good = {SxS5, SxEntry};
  EFI_HANDLE Handle = nullptr;
  EXPECT_EQ(Sx->Register(Sx, nullptr, &Good, &Handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sx->Register(Sx, &Record<1>, nullptr, &Handle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sx->Register(Sx, &Record<1>, &Good, nullptr), EFI_INVALID_PARAMETER);
  uint32_t BadType[2] = {6, 0}, BadPhase[2] = {5, 2};
  EXPECT_EQ(Sx->Register(Sx, &Record<1>, reinterpret_cast<EFI_SMM_SX_REGISTER_CONTEXT *>(BadType), &Handle),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sx->Register(Sx, &Record<1>, reinterpret_cast<EFI_SMM_SX_REGISTER_CONTEXT *>(BadPhase), &Handle),
            EFI_INVALID_PARAMETER);
  uint32_t BadButton = 2;
  EXPECT_EQ(Button->Register(Button, &Record<11>, reinterpret_cast<EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT *>(&BadButton),
                             &Handle),
            EFI_INVALID_PARAMETER);
  EXPECT_EQ(Handle, nullptr);
  EXPECT_EQ(Sim.F->SxHandlerCount(), 0u);
  EXPECT_EQ(Sim.F->PowerButtonHandlerCount(), 0u);
  auto Registers = Sim.Calls("SxRegister");
  ASSERT_EQ(Registers.size(), 5u);
  EXPECT_TRUE(Registers[1]["context"].is_null());
  EXPECT_EQ(Registers[3]["context"]["type"], "0x6");
  EXPECT_TRUE(Registers[3]["handle"].is_null());
}

TEST_F(SmiDispatch, UnRegisteredHandlersNoLongerRun) {
  EFI_HANDLE H1 = RegisterSx(&Record<1>, SxS4, SxEntry);
  RegisterSx(&Record<2>, SxS4, SxEntry);
  EXPECT_EQ(Sx->UnRegister(Sx, H1), EFI_SUCCESS);
  EXPECT_EQ(Sx->UnRegister(Sx, H1), EFI_INVALID_PARAMETER);
  int NotAHandle = 0;
  EXPECT_EQ(Sx->UnRegister(Sx, &NotAHandle), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Sim.F->DispatchSx(4), 1u);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].Which, 2);
  auto UnRegisters = Sim.Calls("SxUnRegister");
  ASSERT_EQ(UnRegisters.size(), 3u);
  EXPECT_EQ(UnRegisters[0]["handle"], "0x1");
  EXPECT_TRUE(UnRegisters[1]["handle"].is_null());
}

// A handler that withdraws the next one of the same SMI, and itself.
EFI_SMM_SX_DISPATCH2_PROTOCOL *gSx = nullptr;
EFI_HANDLE gVictim = nullptr;
EFI_STATUS EFIAPI Withdrawing(EFI_HANDLE DispatchHandle, CONST VOID *Context, VOID *, UINTN *) {
  gSx->UnRegister(gSx, gVictim);
  gSx->UnRegister(gSx, DispatchHandle);
  uint32_t Type = 0;
  std::memcpy(&Type, Context, 4);  // still readable after its own withdrawal
  gCalls.push_back({100, DispatchHandle, Type, 0, Context, nullptr, 0, false, true, 0});
  return EFI_SUCCESS;
}

TEST_F(SmiDispatch, AHandlerWithdrawnDuringTheSmiIsSkipped) {
  gSx = Sx;
  RegisterSx(&Withdrawing, SxS3, SxEntry);
  gVictim = RegisterSx(&Record<2>, SxS3, SxEntry);
  EXPECT_EQ(Sim.F->DispatchSx(3), 1u);
  ASSERT_EQ(gCalls.size(), 1u);
  EXPECT_EQ(gCalls[0].Which, 100);
  EXPECT_EQ(gCalls[0].Type, 3u);
  EXPECT_EQ(Sim.F->SxHandlerCount(), 0u);
}

TEST_F(SmiDispatch, PowerButtonRunsEntryHandlersOnly) {
  EFI_SMM_POWER_BUTTON_REGISTER_CONTEXT Entry = {EfiPowerButtonEntry}, Exit = {EfiPowerButtonExit};
  EFI_HANDLE H1 = nullptr, H2 = nullptr, H3 = nullptr;
  ASSERT_EQ(Button->Register(Button, &Record<11>, &Entry, &H1), EFI_SUCCESS);
  ASSERT_EQ(Button->Register(Button, &Record<12>, &Exit, &H2), EFI_SUCCESS);
  ASSERT_EQ(Button->Register(Button, &Record<13>, &Entry, &H3), EFI_SUCCESS);
  size_t Mark = Sim.Mark();
  EXPECT_EQ(Sim.F->DispatchPowerButton(), 2u);
  ASSERT_EQ(gCalls.size(), 2u);
  EXPECT_EQ(gCalls[0].Which, 11);
  EXPECT_EQ(gCalls[0].DispatchHandle, H1);
  EXPECT_EQ(gCalls[0].Type, 0u) << "the phase, the context's only field";
  EXPECT_EQ(gCalls[1].Which, 13);
  EXPECT_EQ(Sim.F->DispatchSx(5), 0u) << "the dispatchers keep separate lists";
  EXPECT_EQ(Sim.Events("smi", Mark)[0]["source"], "power-button");
  EXPECT_EQ(Sim.Events("smi", Mark)[0]["context"], (sim::Json{{"phase", "0x0"}}));

  EXPECT_EQ(Button->UnRegister(Button, H1), EFI_SUCCESS);
  EXPECT_EQ(Button->UnRegister(Button, H1), EFI_INVALID_PARAMETER);
  auto Registers = Sim.Calls("PowerButtonRegister");
  ASSERT_EQ(Registers.size(), 3u);
  EXPECT_EQ(Registers[1]["context"], (sim::Json{{"phase", "0x1"}}));
  EXPECT_EQ(Registers[2]["handle"], "0x3");
}

TEST_F(SmiDispatch, RunnerGetsTheRegisteringImageAndMayReportAFault) {
  Sim.T.SetImage("SioPowerSmm");
  RegisterSx(&Record<1>, SxS5, SxEntry);
  Sim.T.SetImage(std::nullopt);

  std::vector<std::optional<std::string>> Images;
  size_t Mark = Sim.Mark();
  auto Faulting = [&](const std::optional<std::string> &Image, const std::function<EFI_STATUS()> &Invoke) {
    Images.push_back(Image);
    Invoke();
    return std::optional<EFI_STATUS>();  // as if the handler never returned
  };
  EXPECT_EQ(Sim.F->DispatchSx(5, Faulting), 1u);
  ASSERT_EQ(Images.size(), 1u);
  EXPECT_EQ(Images[0], "SioPowerSmm");
  auto Smis = Sim.Events("smi", Mark);
  ASSERT_EQ(Smis.size(), 1u);
  EXPECT_EQ(Smis[0]["image"], "SioPowerSmm");
  EXPECT_TRUE(Sim.Events("smi-return", Mark).empty());
  EXPECT_FALSE(Sim.T.Image().has_value()) << "the trace's image is put back";
}

TEST_F(SmiDispatch, SmmCodeRunsWithTheChosenCodeSegment) {
  RegisterSx(&Record<1>, SxS3, SxEntry);
  Sim.F->DispatchSx(3);
  Sim.F->SetSmmCodeSegment(0x4B);
  Sim.F->DispatchSx(3);
  Sim.F->SetSmmCodeSegment(std::nullopt);
  Sim.F->DispatchSx(3);
  ASSERT_EQ(gCalls.size(), 3u);
  EXPECT_EQ(gCalls[0].Cs, 0x38);
  EXPECT_EQ(gCalls[1].Cs, 0x4B);
  EXPECT_EQ(gCalls[2].Cs, 0x38);
  EXPECT_EQ(Sim.B->ReadCs(), 0x38) << "restored when SMM is left";

  // Chosen while in SMM: applies at once, and the selector from before comes back.
  Sim.F->EnterSmm();
  Sim.F->SetSmmCodeSegment(0x4B);
  EXPECT_EQ(Sim.B->ReadCs(), 0x4B);
  Sim.F->LeaveSmm();
  EXPECT_EQ(Sim.B->ReadCs(), 0x38);
}

// --- SMM variable protocol -----------------------------------------------------------------

TEST(SmmVariable, ReadsAndWritesTheStoreTheRuntimeServicesUse) {
  SmmBoot Sim;
  std::vector<uint8_t> Image(669, 0);
  Image[0x286] = 1;
  Image[0x05E] = 0;
  Image[0x05F] = 2;
  Sim.S.Setup = sim::SetupConfigSpec{0x07, Image};
  Sim.StartInSmm();
  auto *Variable = Sim.SmmLocate<EFI_SMM_VARIABLE_PROTOCOL>(kVariableGuid);
  ASSERT_NE(Variable, nullptr);

  EFI_GUID Guid = fwtest::kSetupGuid;
  CHAR16 *Name = const_cast<CHAR16 *>(u"Setup");
  std::vector<uint8_t> Data(700, 0xEE);
  UINTN Size = 669;
  size_t Mark = Sim.Mark();
  ASSERT_EQ(Variable->SmmGetVariable(Name, &Guid, nullptr, &Size, Data.data()), EFI_SUCCESS);
  EXPECT_EQ(Size, 669u);
  EXPECT_EQ(Data[0x286], 1);
  EXPECT_EQ(Data[0x05F], 2);
  EXPECT_EQ(Data[669], 0xEE) << "nothing beyond the variable";

  UINTN Small = 10;
  UINT32 Attributes = 0;
  EXPECT_EQ(Variable->SmmGetVariable(Name, &Guid, &Attributes, &Small, Data.data()), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(Small, 669u);
  EXPECT_EQ(Attributes, 0x07u);

  // The same trace shape as GetVariable, under its own name.
  auto Calls = Sim.Calls("SmmGetVariable", Mark);
  ASSERT_EQ(Calls.size(), 2u);
  EXPECT_EQ(Calls[0]["name"], "Setup");
  EXPECT_EQ(Calls[0]["guid"], "EC87D643-EBA4-4BB5-A1E5-3F3E36B20DA9");
  EXPECT_TRUE(Calls[0]["attributes"].is_null());
  EXPECT_EQ(Calls[0]["size"], "0x29D");
  EXPECT_EQ(Calls[0]["data_size"], "0x29D");
  EXPECT_EQ(Calls[0]["status"], "0x0");
  UINTN RuntimeSize = 669;
  Sim.Rs()->GetVariable(Name, &Guid, nullptr, &RuntimeSize, Data.data());
  auto Runtime = Sim.Calls("GetVariable", Mark).back();
  for (const char *Key : {"name", "guid", "attributes", "size", "data_size", "status"}) {
    EXPECT_EQ(Runtime[Key], Calls[0][Key]) << Key;
  }

  Data[0x286] = 0;
  ASSERT_EQ(Variable->SmmSetVariable(Name, &Guid, 0x07, 669, Data.data()), EFI_SUCCESS);
  EXPECT_EQ(Sim.F->SetupVariable()->Data[0x286], 0);
  EXPECT_EQ(Sim.Calls("SmmSetVariable", Mark).size(), 1u);

  UINTN NameSize = 0;
  EXPECT_EQ(Variable->SmmGetNextVariableName(&NameSize, nullptr, &Guid), EFI_UNSUPPORTED);
  EXPECT_EQ(Sim.Calls("SmmGetNextVariableName", Mark).size(), 1u);
}

TEST(SmmVariable, MissingSetupIsNotFound) {
  SmmBoot Sim;
  Sim.StartInSmm();
  auto *Variable = Sim.SmmLocate<EFI_SMM_VARIABLE_PROTOCOL>(kVariableGuid);
  ASSERT_NE(Variable, nullptr);
  EFI_GUID Guid = fwtest::kSetupGuid;
  uint8_t Data[669];
  UINTN Size = sizeof Data;
  EXPECT_EQ(Variable->SmmGetVariable(const_cast<CHAR16 *>(u"Setup"), &Guid, nullptr, &Size, Data), EFI_NOT_FOUND);
}

}  // namespace
