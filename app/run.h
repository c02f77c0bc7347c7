#pragma once

#include <optional>
#include <string>

class TForm1;

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
// Reads the folder the window starts on from what Qt left of its command
// line (it takes its own options, such as -platform): none, or one, made
// absolute against the current folder. Anything else is refused: false,
// with the French message in error.
bool ReadStartFolder(int argc, char** argv, std::optional<std::string>* folder, std::string* error);
// The folder the command line named, if any, in the window's field, over the
// saved one; as one typed there, it is saved when the window closes.
void ShowStartFolder(TForm1& form, const std::optional<std::string>& folder);
