// Process-level measuring: running a step in a child process so that its peak
// memory and I/O are its own, and the small readers of /proc that it needs.
#ifndef VELKOR_BENCH_MEASURE_H_
#define VELKOR_BENCH_MEASURE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bench {

struct ChildOutcome {
  bool ok = false;
  std::string report;       // what the child's body returned, or its error
  int64_t max_rss_kib = 0;  // the child's peak resident set
  double cpu_s = 0;         // user plus system time of the child
};

// Runs `body` in a forked child and hands back what it returned. The parent
// must be single-threaded; the child ends with _exit, so nothing buffered in
// the parent is written twice.
ChildOutcome run_in_child(const std::function<std::string()>& body);

struct IoCounters {
  uint64_t rchar = 0;  // bytes returned by read-like system calls
  uint64_t wchar = 0;  // bytes passed to write-like system calls
  uint64_t syscr = 0;  // read-like system calls
  uint64_t syscw = 0;  // write-like system calls
};
IoCounters read_io_counters();  // of this process, from /proc/self/io

int64_t resident_kib();      // VmRSS of this process
int64_t peak_resident_kib(); // VmHWM of this process
// Gives the heap's free pages back to the system and restarts VmHWM from the
// resident set now. A child forked from the harness inherits the harness's
// free but resident heap pages (texts dropped after normalising, samples):
// the build's first allocations would take them without growing the
// resident set, so its peak would read low, and by how much would depend on
// what the harness did before.
// False when VmHWM could not be restarted.
bool start_peak_from_here();
double load_average_1min();  // first field of /proc/loadavg

// Seconds a plain memcpy takes to move `bytes` through 64 MiB buffers. Beyond
// `cap` bytes the time of copying `cap` bytes is scaled up linearly.
double memcpy_seconds(uint64_t bytes, uint64_t cap);

// Nearest-rank percentile (0 < q <= 1) of unsorted samples; 0 for none.
double percentile(std::vector<double> samples, double q);

}  // namespace bench

#endif  // VELKOR_BENCH_MEASURE_H_
