#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

#include "launcher.h"

namespace varpage::testing {
namespace {

constexpr auto kTimeLimit = std::chrono::seconds(30);

std::vector<char*> pointers_to(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& s : strings) pointers.push_back(s.data());
  pointers.push_back(nullptr);
  return pointers;
}

// VARPAGE_TEST_WRAPPER, split at blanks: a tool to run every program under,
// such as valgrind, behind the test's own wrapper.
std::vector<std::string> tool_wrapper() {
  std::vector<std::string> words;
  const char* text = std::getenv("VARPAGE_TEST_WRAPPER");
  std::string word;
  for (; text != nullptr && *text != '\0'; ++text) {
    if (*text != ' ') {
      word += *text;
    } else if (!word.empty()) {
      words.push_back(word);
      word.clear();
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

[[noreturn]] void run_child(const std::string& program, const Launch& launch, int stdin_read,
                            int stdout_write, int stderr_write) {
  // Servers start CGI programs with SIGPIPE at its default; so do we.
  signal(SIGPIPE, SIG_DFL);
  dup2(stdin_read, 0);
  switch (launch.stdout_mode) {
    case StdoutMode::kClosed:
      close(1);
      break;
    case StdoutMode::kDevFull: {
      const int full = open("/dev/full", O_WRONLY);
      dup2(full, 1);
      break;
    }
    default:
      dup2(stdout_write, 1);
  }
  dup2(stderr_write, 2);
  for (int fd = 3; fd < 64; ++fd) close(fd);

  std::vector<std::string> argv = launch.wrapper;
  const std::vector<std::string> tool = tool_wrapper();
  argv.insert(argv.end(), tool.begin(), tool.end());
  argv.push_back(program);
  argv.insert(argv.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<std::string> envp = launch.environment;
  execve(argv[0].c_str(), pointers_to(argv).data(), pointers_to(envp).data());
  _exit(127);
}

}  // namespace

// valgrind preloads its own libraries into the program it runs.
bool added_by_platform(const std::string& name) {
  return name == "LD_PRELOAD" && !tool_wrapper().empty();
}

Outcome launch(const std::string& program, const Launch& launch) {
  int in[2], out[2], err[2];
  if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) std::abort();
  if (launch.non_blocking) fcntl(out[1], F_SETFL, O_NONBLOCK);

  const pid_t child = fork();
  if (child == 0) run_child(program, launch, in[0], out[1], err[1]);
  close(in[0]);
  close(out[1]);
  close(err[1]);

  Outcome outcome;
  const auto deadline = std::chrono::steady_clock::now() + kTimeLimit;
  int out_fd = out[0];
  int err_fd = err[0];
  std::size_t slow_bytes = launch.slow_bytes;
  if (launch.stdout_mode == StdoutMode::kHangUpEarly && launch.hang_up_after == 0) {
    close(out_fd);
    out_fd = -1;
  }
  while (out_fd >= 0 || err_fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      outcome.timed_out = true;
      kill(child, SIGKILL);
      break;
    }
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    if (poll(fds, 2, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    char buffer[65536];
    if (out_fd >= 0 && fds[0].revents != 0) {
      std::size_t want = sizeof buffer;
      if (slow_bytes > 0) want = 1;
      if (launch.stdout_mode == StdoutMode::kHangUpEarly)
        want = std::min(want, launch.hang_up_after - outcome.out.size());
      const ssize_t n = read(out_fd, buffer, want);
      if (n > 0) {
        outcome.out.append(buffer, static_cast<std::size_t>(n));
        if (slow_bytes > 0) {
          --slow_bytes;
          usleep(200);
        }
      }
      const bool hang_up = launch.stdout_mode == StdoutMode::kHangUpEarly &&
                           outcome.out.size() >= launch.hang_up_after;
      if (n <= 0 || hang_up) {
        close(out_fd);
        out_fd = -1;
      }
    }
    if (err_fd >= 0 && fds[1].revents != 0) {
      const ssize_t n = read(err_fd, buffer, sizeof buffer);
      if (n > 0) {
        outcome.err.append(buffer, static_cast<std::size_t>(n));
      } else {
        close(err_fd);
        err_fd = -1;
      }
    }
  }
  if (out_fd >= 0) close(out_fd);
  if (err_fd >= 0) close(err_fd);

  int status = 0;
  waitpid(child, &status, 0);
  close(in[1]);
  outcome.exited = WIFEXITED(status);
  outcome.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

}  // namespace varpage::testing
