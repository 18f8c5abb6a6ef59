#include "Guard.h"

#include <ucontext.h>

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

sigjmp_buf *gActiveJump = nullptr;
std::string gFaultWhat;
uintptr_t gFaultAddress = 0;
GuardResult::Access gFaultAccess = GuardResult::Access::None;
char gSignalStack[64 * 1024];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};

// Page-fault error code bits (x86-64): the access was a write; it was an
// instruction fetch.
constexpr unsigned long kPfWrite = 1ul << 1;
constexpr unsigned long kPfFetch = 1ul << 4;

void OnSignal(int Signal, siginfo_t *Info, void *Context) {
  if (gActiveJump == nullptr) {
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
    return;
  }
  // Only async-signal-safe work before the jump: the text is filled in after it.
  gFaultAccess = GuardResult::Access::None;
  gFaultAddress = 0;
  if (Signal == SIGSEGV && Info != nullptr && Context != nullptr) {
    const auto &Registers = static_cast<ucontext_t *>(Context)->uc_mcontext.gregs;
    const auto Error = static_cast<unsigned long>(Registers[REG_ERR]);
    gFaultAddress = reinterpret_cast<uintptr_t>(Info->si_addr);
    // Not every host reports the fetch bit; a fault at the instruction
    // pointer itself is a fetch all the same.
    const bool Fetch = (Error & kPfFetch) != 0 || gFaultAddress == static_cast<uintptr_t>(Registers[REG_RIP]);
    gFaultAccess = Fetch                     ? GuardResult::Access::Execute
                   : (Error & kPfWrite) != 0 ? GuardResult::Access::Write
                                             : GuardResult::Access::Read;
  }
  siglongjmp(*gActiveJump, Signal);
}

}  // namespace

void RaiseGuardFault(const std::string &What) { RaiseGuardFault(What, GuardResult::Access::None, 0); }

void RaiseGuardFault(const std::string &What, GuardResult::Access How, uintptr_t Address) {
  if (gActiveJump == nullptr) {
    std::fprintf(stderr, "boardsim: fault outside a driver call: %s\n", What.c_str());
    std::abort();
  }
  gFaultWhat = What;
  gFaultAccess = How;
  gFaultAddress = Address;
  siglongjmp(*gActiveJump, -1);
}

GuardResult RunGuarded(const std::function<void()> &Body) {
  stack_t AltStack{};
  AltStack.ss_sp = gSignalStack;
  AltStack.ss_size = sizeof gSignalStack;
  stack_t OldAltStack{};
  sigaltstack(&AltStack, &OldAltStack);

  struct sigaction Action {};
  Action.sa_sigaction = OnSignal;
  Action.sa_flags = SA_ONSTACK | SA_SIGINFO;
  sigemptyset(&Action.sa_mask);
  struct sigaction Old[sizeof kSignals / sizeof kSignals[0]];
  for (size_t I = 0; I < sizeof kSignals / sizeof kSignals[0]; ++I) {
    sigaction(kSignals[I], &Action, &Old[I]);
  }

  sigjmp_buf Jump;
  sigjmp_buf *Outer = gActiveJump;
  GuardResult Result;
  int Code = sigsetjmp(Jump, 1);
  if (Code == 0) {
    gActiveJump = &Jump;
    Body();
  } else {
    Result.Faulted = true;
    if (Code == -1) {
      Result.What = gFaultWhat;
      Result.How = gFaultAccess;
      Result.Address = gFaultAddress;
    } else {
      Result.What = std::string("signal ") + strsignal(Code) + " in driver code";
      Result.How = gFaultAccess;
      Result.Address = gFaultAddress;
    }
  }
  gActiveJump = Outer;

  for (size_t I = 0; I < sizeof kSignals / sizeof kSignals[0]; ++I) {
    sigaction(kSignals[I], &Old[I], nullptr);
  }
  sigaltstack(&OldAltStack, nullptr);
  return Result;
}

}  // namespace sim
