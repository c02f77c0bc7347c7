#pragma once
// Runs the built terminelle-cli as a child process.

#include <string>
#include <vector>

// What a run of the program gave.
struct CliResult {
  // The exit status, or 128 + the signal that ended it.
  int status = -1;
  std::string out;
  std::string err;
};

// How to run it beyond its arguments.
struct CliRunAs {
  // Where its standard output goes instead of being captured.
  std::string stdout_to;
  // The user and group it runs as, when not negative (the caller is root),
  // from a copy that user can reach, in the root folder.
  int uid = -1;
};

// Runs terminelle-cli with args; it inherits the environment.
CliResult RunCli(const std::vector<std::string>& args, const CliRunAs& as = {});

// The argv of terminelle-cli with args, ready for exec.
std::vector<char*> CliArgv(std::vector<std::string>& args);
