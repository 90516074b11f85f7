#pragma once
// Runs a program to its end, as the packaging tests run dpkg-deb, lintian,
// bash and the programs themselves.

#include <string>
#include <vector>

struct CommandResult {
  int status = -1;  // the exit status; 128 + the signal for one killed
  std::string output;  // stdout and stderr, as they came
};

// argv[0] is looked up on the PATH; environment entries ("NAME=value") are
// set on top of this process's own.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

// "a b c" of the words, for messages.
std::string Joined(const std::vector<std::string>& words);
