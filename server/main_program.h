#pragma once

// The program's start-up: settings and ranges, the single-instance test, the main window and
// the tip of the day in standalone mode; in automation mode it stops after the settings.
// Returns the process's exit code once the program ends: 0 for a normal end, 1 when it could not
// serve, 2 for a command line it does not understand.
int Main(int argc, char** argv);

// Ends the program as the end of the desktop session does: every loaded form is unloaded, in
// load order, and the event loop ends.
void EndProgram();

// Runs the event loop until the last visible window is closed; returns at once when none is
// open.
void WaitForOpenWindows();
