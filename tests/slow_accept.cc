// Preloaded into a varpage FastCGI process by the lifecycle tests: widens
// the window between a worker's last look at whether it must leave and its
// accept4() call, where a wake signal is missed, from nanoseconds to as long
// as a test needs. Each call waits VARPAGE_TEST_ACCEPT_DELAY_MS milliseconds
// first, signals or not, while the file VARPAGE_TEST_ACCEPT_DELAY_WHILE
// exists (always when that is unset); then the real accept4() blocks as
// before, and only a signal that comes then, or a connection, ends it.
#include <dlfcn.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

using Accept4 = int (*)(int, sockaddr*, socklen_t*, int);

void wait_through_signals(long milliseconds) {
  timespec until;
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += milliseconds / 1000;
  until.tv_nsec += milliseconds % 1000 * 1000000;
  if (until.tv_nsec >= 1000000000) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000;
  }
  // A signal handled meanwhile does not cut the wait short.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

}  // namespace

extern "C" int accept4(int socket, sockaddr* address, socklen_t* size, int flags) {
  static const auto real = reinterpret_cast<Accept4>(dlsym(RTLD_NEXT, "accept4"));
  const char* delay = std::getenv("VARPAGE_TEST_ACCEPT_DELAY_MS");
  const char* while_file = std::getenv("VARPAGE_TEST_ACCEPT_DELAY_WHILE");
  if (delay != nullptr && (while_file == nullptr || access(while_file, F_OK) == 0)) {
    wait_through_signals(std::strtol(delay, nullptr, 10));
  }
  return real(socket, address, size, flags);
}
