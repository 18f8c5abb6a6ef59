#include "Common/SimEnvironment.h"

#include <Protocol/DebugPrintService.h>
#include <Protocol/Pcd.h>

extern PCD_PROTOCOL *mPcd;
extern DEBUG_PRINT_SERVICE_PROTOCOL *mDebugPrintService;

void test::ForgetLibraryCaches() {
  mPcd = nullptr;
  mDebugPrintService = nullptr;
}
