// A server in a child process for the benchmarks that measure a server's own memory: forked
// before the benchmark starts any thread, so the clients' memory is never counted, and read
// through /proc.
//
// Threads: SpawnServer is called before the calling program starts threads; the child serves
// until it is killed.
#ifndef DATASERVER_BENCH_CHILD_SERVER_H_
#define DATASERVER_BENCH_CHILD_SERVER_H_

#include <sys/types.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace bench {

// A figure of /proc/PID/status in KiB, such as "VmRSS:" (resident now) or "VmHWM:" (peak
// resident); -1 when it cannot be read.
inline long StatusKiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + key.size());
  }
  return -1;
}

// Forks a server: `serve(announce)` starts it in the child and calls announce(port) once it
// listens; the child then serves until killed. Returns the child's pid and sets `port`.
template <typename Serve>
pid_t SpawnServer(Serve serve, uint16_t& port) {
  int fds[2];
  if (::pipe(fds) != 0) std::exit(1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    serve([&](uint16_t p) { [[maybe_unused]] const ssize_t n = ::write(fds[1], &p, sizeof p); });
    ::pause();
    ::_exit(0);
  }
  ::close(fds[1]);
  if (::read(fds[0], &port, sizeof port) != sizeof port) std::exit(1);
  ::close(fds[0]);
  return pid;
}

}  // namespace bench

#endif  // DATASERVER_BENCH_CHILD_SERVER_H_
