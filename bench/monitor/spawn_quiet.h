#pragma once
// What the monitor's timing programs share: a pylaxctl started with its
// output thrown away, so that what it says costs the measurement nothing.

#include <fcntl.h>
#include <spawn.h>

#include <string>
#include <vector>

extern char** environ;

// The process started as args (args[0] a path), or -1.
inline pid_t SpawnQuiet(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&files, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawn(&pid, args[0].c_str(), &files, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&files);
  return pid;
}
