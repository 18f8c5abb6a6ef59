// The libraries against the simulated platform firmware the drivers run on.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common/SimEnvironment.h"

#include <Library/BootScriptLib.h>
#include <Library/DebugLib.h>
#include <Protocol/DebugPrintService.h>

extern DEBUG_PRINT_SERVICE_PROTOCOL *mDebugPrintService;

void test::ForgetLibraryCaches() {
  mDebugPrintService = nullptr;
  gBootScriptBlock = nullptr;
  gBooScriptBuffer = nullptr;
  gRegBuffer = nullptr;
}

namespace {

std::vector<std::string> Field(const std::vector<sim::Json> &Events, const char *Name) {
  std::vector<std::string> Out;
  for (const auto &E : Events) Out.push_back(E[Name].is_string() ? E[Name].get<std::string>() : E[Name].dump());
  return Out;
}

TEST(BootScriptOnFirmware, BuffersAreRuntimeDataAndTheTrailNamesLine735) {
  test::SimEnvironment Env;
  Env.Scenario.Cmos[0x98] = 1;
  Env.Start();
  size_t Mark = Env.Mark();
  EXPECT_EQ(BootScriptLibConstructor(nullptr, Env.Firmware->SystemTable()), EFI_SUCCESS);

  auto Allocations = Env.Calls(Mark, "AllocatePool");
  EXPECT_EQ(Field(Allocations, "type"), std::vector<std::string>(3, "EfiRuntimeServicesData"));
  EXPECT_EQ(Field(Allocations, "size"), (std::vector<std::string>{"0x20", "0x64", "0x8"}));
  EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 3u);
  EXPECT_EQ(Env.Board->CmosByte(0x90), 0x02);
  EXPECT_EQ(Env.Board->CmosByte(0x91), 0xDF);
  EXPECT_EQ(Env.Board->CmosByte(0xC0), 'V');
  EXPECT_EQ(Env.Board->CmosByte(0xCE), 'c');
  // The checkpoint route prints nothing.
  EXPECT_TRUE(Env.Calls(Mark, "DebugPrint").empty());

  EXPECT_EQ(BootScriptLibDestructor(nullptr, Env.Firmware->SystemTable()), EFI_SUCCESS);
  // Block, buffer, register buffer: the order they were obtained in.
  auto Frees = Env.Calls(Mark, "FreePool");
  EXPECT_EQ(Field(Frees, "block"), Field(Allocations, "block"));
  EXPECT_EQ(Env.Firmware->LivePoolBlocks(), 0u);
}

TEST(BootScriptOnFirmware, InjectedBlockFailureStopsEverything) {
  test::SimEnvironment Env;
  Env.Scenario.Cmos[0x98] = 1;
  Env.Scenario.FailAllocations = {1};
  Env.Start();
  size_t Mark = Env.Mark();
  EXPECT_EQ(BootScriptLibConstructor(nullptr, Env.Firmware->SystemTable()), EFI_SUCCESS);
  EXPECT_EQ(Env.Calls(Mark, "AllocatePool").size(), 1u);
  EXPECT_TRUE(Env.Since(Mark, {"io-read", "io-write"}).empty());
  EXPECT_EQ(Env.Board->CmosByte(0x91), 0);

  BootScriptLibDestructor(nullptr, Env.Firmware->SystemTable());
  EXPECT_TRUE(Env.Calls(Mark, "FreePool").empty());
}

TEST(DebugPrintOnFirmware, MessagesReachThePlatformServiceFormatted) {
  test::SimEnvironment Env;
  Env.Start();
  size_t Mark = Env.Mark();
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, "%a: %r", "AmdCfgPcdBufLib", EFI_NOT_FOUND), EFI_SUCCESS);
  EXPECT_EQ(DebugPrint(DEBUG_INFO, "token %d", 631), EFI_SUCCESS);
  EXPECT_EQ(Env.Calls(Mark, "LocateProtocol").size(), 1u);
  auto Prints = Env.Calls(Mark, "DebugPrint");
  EXPECT_EQ(Field(Prints, "level"), (std::vector<std::string>{"0x80000000", "0x40"}));
  EXPECT_EQ(Field(Prints, "text"), (std::vector<std::string>{"AmdCfgPcdBufLib: Not Found", "token 631"}));
}

TEST(DebugPrintOnFirmware, WithoutTheServiceEveryMessageRetriesTheLookup) {
  test::SimEnvironment Env;
  Env.Scenario.Protocols.DebugPrint = false;
  Env.Start();
  size_t Mark = Env.Mark();
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, "first"), EFI_NOT_FOUND);
  EXPECT_EQ(DebugPrint(DEBUG_ERROR, "second"), EFI_NOT_FOUND);
  EXPECT_EQ(Env.Calls(Mark, "LocateProtocol").size(), 2u);
  EXPECT_TRUE(Env.Calls(Mark, "DebugPrint").empty());
}

}  // namespace
