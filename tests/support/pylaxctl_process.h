#pragma once
// pylaxctl as a process for a test (PYLAXCTL_PATH names the built one).

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <string>
#include <vector>

// Starts pylaxctl in the current directory with stdout and stderr in files
// (never a terminal, so a download prints its messages, not a bar).
inline pid_t StartPylaxctl(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(PYLAXCTL_PATH)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "stdout.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&files, 2, "stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t pid = -1;
  if (posix_spawn(&pid, PYLAXCTL_PATH, &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}
