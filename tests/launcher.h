// Starts a program with an exact environment and collects what it writes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace varpage::testing {

enum class StdoutMode {
  kCapture,      // a pipe read to the end
  kClosed,       // no file descriptor 1 at all
  kDevFull,      // every write fails with ENOSPC
  kHangUpEarly,  // a pipe whose reader takes `hang_up_after` bytes, then closes
  kNonBlocking,  // a non-blocking pipe, read slowly, a byte at a time at first
};

struct Launch {
  // Started in front of the program, e.g. {"/usr/bin/unshare", "-n", "--"}.
  std::vector<std::string> wrapper;
  std::vector<std::string> arguments;
  // Handed over as it stands: entries need not hold '=' and may be empty.
  std::vector<std::string> environment;
  StdoutMode stdout_mode = StdoutMode::kCapture;
  std::size_t hang_up_after = 0;
  // The program's end of the pipe is non-blocking (POSIX only).
  bool non_blocking = false;
  // The reader takes the first this many bytes one at a time, pausing after
  // each (POSIX only).
  std::size_t slow_bytes = 0;
};

struct Outcome {
  std::string out;
  std::string err;
  bool exited = false;  // false: killed by a signal, or timed out and killed
  int exit_code = -1;
  bool timed_out = false;
};

// Whether the platform itself puts a variable of this name into every
// child's environment, after the entries it was given (Wine does).
bool added_by_platform(const std::string& name);

// Standard input is a pipe that stays open and silent until the program ends,
// so a program that read it would hang and time out.
Outcome launch(const std::string& program, const Launch& launch);

}  // namespace varpage::testing
