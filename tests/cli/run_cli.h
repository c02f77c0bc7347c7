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

// Runs terminelle-cli with args; it inherits the environment.
CliResult RunCli(const std::vector<std::string>& args);

// The argv of terminelle-cli with args, ready for exec.
std::vector<char*> CliArgv(std::vector<std::string>& args);
