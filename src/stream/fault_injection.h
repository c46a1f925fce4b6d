// Test seam of the file stream: makes the k-th read, write, resize, seek or
// buffer transfer fail as the platform would (error code EIO / ERROR_WRITE_FAULT),
// or ends the process at the k-th call that would change a file, as a crash
// would. Disarmed unless a test arms it; not thread-safe.
#ifndef VELKOR_STREAM_FAULT_INJECTION_H_
#define VELKOR_STREAM_FAULT_INJECTION_H_

#include <cstdint>

namespace velkor {
namespace faults {

// buffer_io: a transfer or size change of the held file or of its journal,
// which is where the platform's own failures show.
enum class io_op { read = 0, write = 1, resize = 2, buffer_io = 3 };

// Fails the k-th call (1-based, counted from now) of `op`; with `sticky`,
// that call and every later one. k <= 0 disarms.
void arm(io_op op, int64_t k, bool sticky = false);
// Disarms both the failure and the kill below.
void disarm();
// Calls of `op` seen since the last arm() or reset_counts(); counted once a
// test has called arm() (k <= 0 only counts).
int64_t calls(io_op op);
void reset_counts();
// Number of faults injected since the last arm().
int64_t injected();

// Ends the process (SIGKILL; TerminateProcess on Windows) at the k-th
// mutating platform call (1-based, counted from now: a positioned or plain
// write, a size change, a file removal), before that call changes anything:
// a crash of the process at that instant. What it handed to the system
// earlier stays, what it kept in memory is lost. k <= 0 only counts.
void arm_kill(int64_t k);
// Mutating platform calls seen since the last arm_kill().
int64_t mutating_calls();

// Called by the file stream before each platform operation; true means fail.
// Until a test arms the seam it costs one test of a flag that nothing
// writes, so hosts running indexes on several threads share no counters.
extern bool active;
bool hit_active(io_op op);
inline bool hit(io_op op) { return active && hit_active(op); }
// Called by the platform layer first thing in each mutating call.
void mutation_active();
inline void before_mutation() {
  if (active) mutation_active();
}

}  // namespace faults
}  // namespace velkor

#endif  // VELKOR_STREAM_FAULT_INJECTION_H_
