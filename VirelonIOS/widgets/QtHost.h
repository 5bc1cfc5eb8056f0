#pragma once

namespace virelon::widgets {

/// The application: answers --help and --version, checks for a display, starts Qt, hands over to
/// a running instance when there is one, installs the user's translation, creates the
/// application (which migrates legacy settings first) and one window per scene, and runs the
/// event loop. Returns the process's exit status: 0 after the help, the version or raising the
/// running window, 1 without a display, 2 for an unknown argument, else the event loop's.
int runApplication(int& argc, char** argv);

} // namespace virelon::widgets
