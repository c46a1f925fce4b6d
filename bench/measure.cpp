#include "measure.h"

#include <malloc.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>
#include <sstream>

namespace bench {
namespace {

void write_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t wrote = ::write(fd, data.data() + sent, data.size() - sent);
    if (wrote <= 0) return;
    sent += static_cast<std::size_t>(wrote);
  }
}

uint64_t field_of(const std::string& file, const std::string& key) {
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stoull(line.substr(key.size()));
  }
  return 0;
}

}  // namespace

ChildOutcome run_in_child(const std::function<std::string()>& body) {
  ChildOutcome outcome;
  int fds[2];
  if (::pipe(fds) != 0) {
    outcome.report = "pipe failed";
    return outcome;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    outcome.report = "fork failed";
    return outcome;
  }
  if (pid == 0) {
    ::close(fds[0]);
    int status = 0;
    std::string report;
    try {
      report = body();
    } catch (const std::exception& e) {
      report = e.what();
      status = 1;
    }
    write_all(fds[1], report);
    ::close(fds[1]);
    ::_exit(status);
  }
  ::close(fds[1]);
  // ru_maxrss alone misses peaks that were given back with munmap before the
  // child ended (large buffers are), so the resident set is also sampled.
  const std::string statm = "/proc/" + std::to_string(pid) + "/statm";
  const int64_t page_kib = ::sysconf(_SC_PAGESIZE) / 1024;
  int64_t sampled_kib = 0;
  char buffer[65536];
  for (;;) {
    struct pollfd ready = {fds[0], POLLIN, 0};
    if (::poll(&ready, 1, 5) > 0) {
      const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
      if (got <= 0) break;
      outcome.report.append(buffer, static_cast<std::size_t>(got));
    }
    std::ifstream in(statm);
    int64_t size = 0, resident = 0;
    if (in >> size >> resident) sampled_kib = std::max(sampled_kib, resident * page_kib);
  }
  ::close(fds[0]);
  int status = 0;
  struct rusage usage {};
  ::wait4(pid, &status, 0, &usage);
  outcome.max_rss_kib = std::max<int64_t>(usage.ru_maxrss, sampled_kib);
  outcome.cpu_s = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  outcome.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!outcome.ok && outcome.report.empty()) {
    outcome.report = WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                         : "exit status " + std::to_string(WEXITSTATUS(status));
  }
  return outcome;
}

IoCounters read_io_counters() {
  // One read of the file, so that reading it adds as little as can be to what it counts.
  std::ifstream in("/proc/self/io");
  IoCounters io;
  std::string key;
  uint64_t value = 0;
  while (in >> key >> value) {
    if (key == "rchar:") io.rchar = value;
    if (key == "wchar:") io.wchar = value;
    if (key == "syscr:") io.syscr = value;
    if (key == "syscw:") io.syscw = value;
  }
  return io;
}

int64_t resident_kib() { return static_cast<int64_t>(field_of("/proc/self/status", "VmRSS:")); }

int64_t peak_resident_kib() {
  return static_cast<int64_t>(field_of("/proc/self/status", "VmHWM:"));
}

bool start_peak_from_here() {
  ::malloc_trim(0);
  std::ofstream reset("/proc/self/clear_refs");
  reset << "5";
  reset.close();
  // Restarted, VmHWM is the resident set (a few pages apart at most).
  return reset && peak_resident_kib() <= resident_kib() + 1024;
}

double load_average_1min() {
  std::ifstream in("/proc/loadavg");
  double load = 0;
  in >> load;
  return load;
}

double memcpy_seconds(uint64_t bytes, uint64_t cap) {
  constexpr std::size_t kBuffer = 64u << 20;
  const uint64_t copied = std::min(bytes, cap);
  if (copied == 0) return 0;
  std::unique_ptr<char[]> from(new char[kBuffer]);
  std::unique_ptr<char[]> to(new char[kBuffer]);
  // Touched first, so that page faults are not timed as copying.
  std::memset(from.get(), 1, kBuffer);
  std::memset(to.get(), 2, kBuffer);
  const auto start = std::chrono::steady_clock::now();
  uint64_t left = copied;
  while (left > 0) {
    const std::size_t step = static_cast<std::size_t>(std::min<uint64_t>(left, kBuffer));
    std::memcpy(to.get(), from.get(), step);
    from[step - 1] = static_cast<char>(to[step / 2] + 1);  // the copy is used
    left -= step;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return seconds * (static_cast<double>(bytes) / static_cast<double>(copied));
}

double percentile(std::vector<double> samples, double q) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  std::size_t rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(samples.size())));
  rank = std::clamp<std::size_t>(rank, 1, samples.size());
  return samples[rank - 1];
}

}  // namespace bench
