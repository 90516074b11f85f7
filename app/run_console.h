#pragma once
// The interactive run: the console, constructed with no parent, made the main
// window and run modally; it is destroyed before this returns. It brings up
// the Qt application object it needs, from the program's arguments.
// The console's session and its link, set up as options say, live as long;
// --simulate: the console chooses COM1 once it shows.

class QWidget;
struct LaunchOptions;

void RunConsole(int& argc, char** argv, QWidget*& mainWindow, const LaunchOptions& options);
