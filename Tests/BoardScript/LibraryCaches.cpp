#include "Common/SimEnvironment.h"

#include <CpuFrequencyRecord.h>

// Each test boots a new board; the timer's copy of the frequency record
// belongs to the previous one.
void test::ForgetLibraryCaches() { mCpuFrequency = CPU_FREQUENCY_RECORD{}; }
