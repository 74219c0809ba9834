// Where the program keeps its files: settings with the user's configuration,
// contacts and call history with the user's data (the XDG base folders).
#pragma once
#include <string>

// Read from the environment at each call, so a changed HOME or XDG_* counts.
std::string config_home();     // $XDG_CONFIG_HOME, else ~/.config
std::string config_folder();   // $XDG_CONFIG_HOME/telvane, else ~/.config/telvane
std::string data_folder();     // $XDG_DATA_HOME/telvane, else ~/.local/share/telvane
std::string settings_path();
std::string contacts_path();
std::string recents_path();

// Moves settings.json, contacts.csv and recents.csv that an older version
// left in the working folder to where they belong now. A file already there
// is never overwritten by an older one and nothing is deleted: the older of
// the two is kept beside the newer under a ".older" name. Files that are not
// ours (another program's settings.json) stay where they are. Main thread,
// before anything reads the files.
void move_files_from_working_folder();
