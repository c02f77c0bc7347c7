#pragma once

#include <string>
#include <vector>

struct InterruptedRewrite;

// What the user is told at start about files whose rewrite was cut short.
std::string InterruptedRewritesText(const std::vector<InterruptedRewrite>& found);

// Starts the program: application object, main window, event loop. Returns
// the process's exit status.
int RunTerminelle(int argc, char** argv);
