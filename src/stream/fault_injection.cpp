#include "stream/fault_injection.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include <cstdlib>

namespace velkor {
namespace faults {

namespace {

struct plan {
  bool armed = false;
  io_op op = io_op::read;
  int64_t target = 0;
  bool sticky = false;
  int64_t counts[4] = {0, 0, 0, 0};
  int64_t injected = 0;
};

struct kill_plan {
  int64_t target = 0;
  int64_t mutations = 0;
};

plan& state() {
  static plan p;
  return p;
}

kill_plan& kill_state() {
  static kill_plan k;
  return k;
}

[[noreturn]] void kill_self() {
#if defined(_WIN32)
  ::TerminateProcess(::GetCurrentProcess(), 137);
#else
  ::kill(::getpid(), SIGKILL);
#endif
  // Should the system refuse, the process still must not go on.
  std::_Exit(137);
}

}  // namespace

bool active = false;

void arm(io_op op, int64_t k, bool sticky) {
  plan& p = state();
  p = plan();
  active = true;
  if (k <= 0) return;
  p.armed = true;
  p.op = op;
  p.target = k;
  p.sticky = sticky;
}

void disarm() {
  state().armed = false;
  kill_state().target = 0;
}

int64_t calls(io_op op) { return state().counts[static_cast<int>(op)]; }

void reset_counts() {
  for (auto& c : state().counts) c = 0;
}

int64_t injected() { return state().injected; }

bool hit_active(io_op op) {
  plan& p = state();
  const int64_t n = ++p.counts[static_cast<int>(op)];
  if (!p.armed || op != p.op) return false;
  if (n == p.target || (p.sticky && n > p.target)) {
    ++p.injected;
    return true;
  }
  return false;
}

void arm_kill(int64_t k) {
  kill_state() = kill_plan{k > 0 ? k : 0, 0};
  active = true;
}

int64_t mutating_calls() { return kill_state().mutations; }

void mutation_active() {
  kill_plan& k = kill_state();
  if (++k.mutations == k.target) kill_self();
}

}  // namespace faults
}  // namespace velkor
