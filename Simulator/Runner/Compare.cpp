#include "Runner/Compare.h"

namespace sim {

namespace {
struct Run {
  Trace T;
  explicit Run(const Scenario &S, const EngineChoice &E) {
    Simulation Sim(S, T, E);
    for (const Step &St : S.Run) {
      if (Sim.Supports(St)) Sim.RunStep(St);
    }
    T.Emit("final", Sim.FinalState());
  }
};
}  // namespace

EngineComparison CompareEngines(const Scenario &S, const EngineChoice &Host, EngineChoice Image) {
  const Run H(S, Host);
  const Run I(S, Image);
  const auto &A = H.T.Events();
  const auto &B = I.T.Events();
  EngineComparison Out;
  for (size_t N = 0; N < std::max(A.size(), B.size()); ++N) {
    if (N < A.size() && N < B.size() && A[N] == B[N]) {
      continue;
    }
    Out.Same = false;
    Out.Events = N;
    Out.HostEvent = N < A.size() ? A[N] : Json(nullptr);
    Out.ImageEvent = N < B.size() ? B[N] : Json(nullptr);
    if (N < I.T.Origins().size()) Out.ImageOrigin = I.T.Origins()[N];
    return Out;
  }
  Out.Events = A.size();
  return Out;
}

}  // namespace sim
