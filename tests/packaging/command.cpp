#include "tests/packaging/command.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

extern char** environ;

namespace {
std::vector<std::string> Environment(const std::vector<std::string>& settings) {
  std::vector<std::string> all(settings);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('=') + 1);
    bool overridden = false;
    for (const std::string& setting : settings) overridden = overridden || setting.rfind(name, 0) == 0;
    if (!overridden) all.push_back(text);
  }
  return all;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}
}  // namespace

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment) {
  CommandResult result;
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return result;
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&files, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&files, pipeFds[1], 2);
  posix_spawn_file_actions_addclose(&files, pipeFds[0]);
  std::vector<std::string> args(argv), env = Environment(environment);
  std::vector<char*> argPointers = Pointers(args), envPointers = Pointers(env);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0].c_str(), &files, nullptr, argPointers.data(), envPointers.data());
  posix_spawn_file_actions_destroy(&files);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    result.output = argv[0] + ": " + std::strerror(spawned);
    return result;
  }
  char buffer[4096];
  for (ssize_t got; (got = read(pipeFds[0], buffer, sizeof buffer)) > 0;) result.output.append(buffer, got);
  close(pipeFds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}
