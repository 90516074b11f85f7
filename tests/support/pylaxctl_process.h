#pragma once
// pylaxctl as a process for a test (PYLAXCTL_PATH names the built one).

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

// Starts pylaxctl in the current directory with stdout and stderr in files
// (never a terminal, so a download prints its messages, not a bar). The tool
// dies with the test: a test killed by ctest's timeout leaves no pylaxctl
// behind. With a uid, as that user (a test run as root: an ordinary user's rights).
inline pid_t StartPylaxctl(const std::vector<std::string>& args, uid_t uid = getuid()) {
  std::vector<char*> argv{const_cast<char*>(PYLAXCTL_PATH)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  // Emptied here, before the tool runs, so that what the test reads next is
  // this run's output, never the last one's.
  const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const int err = open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  const pid_t parent = getpid();
  const pid_t pid = out < 0 || err < 0 ? -1 : fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent || dup2(out, 1) < 0 || dup2(err, 2) < 0 || setuid(uid) != 0) _exit(127);
    execv(PYLAXCTL_PATH, argv.data());
    _exit(127);
  }
  if (out >= 0) close(out);
  if (err >= 0) close(err);
  return pid;
}

// Waits for the tool's exit status (128 + the signal when a signal ended
// it). One that is still running after `seconds` (a hang: every command
// ends long before) is killed and -1 returned, so the test fails with its
// output instead of waiting for ctest's timeout.
inline int FinishPylaxctlProcess(pid_t pid, int seconds = 120) {
  if (pid <= 0) return -1;
  int status = 0;
  for (int waited = 0; waited < seconds * 100; ++waited) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}
