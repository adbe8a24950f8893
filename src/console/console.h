// Console start-up and the main loop.
#ifndef INVOKEMODULE_CONSOLE_CONSOLE_H_
#define INVOKEMODULE_CONSOLE_CONSOLE_H_

#include <string>

// Window set-up, output settings and the banner.
void setupConsole();

// The whole program: its arguments, set-up, command list, optional start script, the read
// loop. Returns the exit code: 0, or 2 when the arguments are not understood.
int runMain(int argc, char** argv);

// Cuts the line after its last byte that is not one of " \f\n\r\t\v".
void trimRight(std::string* line);

#endif  // INVOKEMODULE_CONSOLE_CONSOLE_H_
