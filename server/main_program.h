#pragma once

// The program's start-up: settings and ranges, the single-instance test, the main window and
// the tip of the day in standalone mode; in automation mode it stops after the settings.
// Returns the process's exit code once the program ends.
int Main(int argc, char** argv);
