#pragma once

// Starts the program: application object, main window, event loop. Returns
// the process's exit status.
int RunTerminelle(int argc, char** argv);
