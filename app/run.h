#pragma once

// Starts the program: application object, main window, event loop. Returns
// the process's exit status.
int RunTerminelle(int argc, char** argv);
// Makes Qt draw its own texts (edit menus, standard buttons) in French,
// whatever the user's locale; false when its French catalogue is missing.
bool LoadQtFrench();
// Closes the main window as "Quitter" does, so the fields are saved, when the
// desktop session ends or SIGTERM, SIGHUP or SIGINT comes; a second signal
// ends the program at once.
void CloseOnSessionEnd();
