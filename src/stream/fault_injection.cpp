#include "stream/fault_injection.h"

namespace velkor {
namespace faults {

namespace {

struct plan {
  bool armed = false;
  io_op op = io_op::read;
  int64_t target = 0;
  bool sticky = false;
  int64_t counts[5] = {0, 0, 0, 0, 0};
  int64_t injected = 0;
};

plan& state() {
  static plan p;
  return p;
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

void disarm() { state().armed = false; }

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

}  // namespace faults
}  // namespace velkor
