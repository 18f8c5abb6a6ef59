#include "Guard.h"

#include <csetjmp>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sim {

namespace {

sigjmp_buf *gActiveJump = nullptr;
std::string gFaultWhat;
char gSignalStack[64 * 1024];
constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP};

void OnSignal(int Signal) {
  if (gActiveJump == nullptr) {
    std::signal(Signal, SIG_DFL);
    std::raise(Signal);
    return;
  }
  // Only async-signal-safe work before the jump: the text is filled in after it.
  gFaultWhat.clear();
  siglongjmp(*gActiveJump, Signal);
}

}  // namespace

void RaiseGuardFault(const std::string &What) {
  if (gActiveJump == nullptr) {
    std::fprintf(stderr, "boardsim: fault outside a driver call: %s\n", What.c_str());
    std::abort();
  }
  gFaultWhat = What;
  siglongjmp(*gActiveJump, -1);
}

GuardResult RunGuarded(const std::function<void()> &Body) {
  stack_t AltStack{};
  AltStack.ss_sp = gSignalStack;
  AltStack.ss_size = sizeof gSignalStack;
  stack_t OldAltStack{};
  sigaltstack(&AltStack, &OldAltStack);

  struct sigaction Action {};
  Action.sa_handler = OnSignal;
  Action.sa_flags = SA_ONSTACK;
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
    } else {
      Result.What = std::string("signal ") + strsignal(Code) + " in driver code";
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
