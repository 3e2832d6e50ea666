#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include "launcher.h"

namespace varpage::testing {
namespace {

constexpr DWORD kTimeLimitMs = 30000;

std::string read_all(HANDLE pipe) {
  std::string text;
  char buffer[65536];
  DWORD n = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
  return text;
}

std::string quoted(const std::string& argument) {
  std::string text(1, '"');
  text += argument;
  text += '"';
  return text;
}

}  // namespace

bool added_by_platform(const std::string& name) {
  return name.starts_with("WINE") || name == "SystemDrive" || name == "SystemRoot";
}

// Only the capturing mode exists here; the fault modes are POSIX tests.
Outcome launch(const std::string& program, const Launch& launch) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read, in_write, out_read, out_write, err_read, err_write;
  if (!CreatePipe(&in_read, &in_write, &inherit, 0) ||
      !CreatePipe(&out_read, &out_write, &inherit, 0) ||
      !CreatePipe(&err_read, &err_write, &inherit, 0))
    std::abort();
  SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);

  // An environment block: each entry zero-terminated, one more zero at the
  // end (two for an empty block).
  std::string block;
  for (const std::string& entry : launch.environment) {
    block += entry;
    block += '\0';
  }
  if (launch.environment.empty()) block += '\0';
  block += '\0';

  std::string command_line = quoted(program);
  for (const std::string& argument : launch.arguments) {
    command_line += ' ';
    command_line += quoted(argument);
  }

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION process{};
  Outcome outcome;
  // Wine now and then fails to start a process while others start beside
  // it; that says nothing of the program, so it is tried again.
  bool started = false;
  for (int attempt = 0; attempt < 5 && !started; ++attempt) {
    if (attempt > 0) Sleep(200);
    started = CreateProcessA(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0,
                             block.data(), nullptr, &startup, &process) != 0;
  }
  if (!started) {
    std::fprintf(stderr, "CreateProcess failed: error %lu\n", GetLastError());
    return outcome;
  }
  CloseHandle(in_read);
  CloseHandle(out_write);
  CloseHandle(err_write);

  std::string err;
  std::thread err_reader([&] { err = read_all(err_read); });
  outcome.out = read_all(out_read);
  err_reader.join();
  outcome.err = err;

  if (WaitForSingleObject(process.hProcess, kTimeLimitMs) != WAIT_OBJECT_0) {
    outcome.timed_out = true;
    TerminateProcess(process.hProcess, 1);
  } else {
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    outcome.exited = true;
    outcome.exit_code = static_cast<int>(code);
  }
  CloseHandle(in_write);
  CloseHandle(out_read);
  CloseHandle(err_read);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return outcome;
}

}  // namespace varpage::testing
