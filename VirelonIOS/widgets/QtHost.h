#pragma once

namespace virelon::widgets {

/// The application: checks for a display, starts Qt with the user's translation, creates the
/// application (which migrates legacy settings first) and one window per scene, and runs the
/// event loop. Returns the process's exit status: 1 without a display, else the event loop's.
int runApplication(int& argc, char** argv);

} // namespace virelon::widgets
