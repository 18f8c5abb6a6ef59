#include "Common/SimEnvironment.h"

#include <CpuFrequencyRecord.h>
#include <Library/HeapBufferRelayLib.h>
#include <Library/SioDebugOutputLib.h>
#include <Library/SmmMemoryAllocationLib.h>
#include <Library/SmmServicesTableLib.h>
#include <Protocol/Pcd.h>

extern PCD_PROTOCOL *mPcd;

void test::ForgetLibraryCaches() {
  mPcd = nullptr;
  gSmst = nullptr;
  mSmramRanges = nullptr;
  mSmramRangeCount = 0;
  mHeapBufferList = nullptr;
  mDebugRoutingA = DEBUG_ROUTING_UNREAD;
  mDebugRoutingB = DEBUG_ROUTING_UNREAD;
  mCpuFrequency = {};
}
