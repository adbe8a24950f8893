// Console start-up and the main loop.
#ifndef INVOKEMODULE_CONSOLE_CONSOLE_H_
#define INVOKEMODULE_CONSOLE_CONSOLE_H_

#include <string>

// Window set-up, output settings and the banner.
void setupConsole();

// The whole program after set-up: command list, optional start script, the read loop.
// Returns the exit code, always 0.
int runMain(int argc, char** argv);

// Cuts the line after its last byte that is not one of " \f\n\r\t\v".
void trimRight(std::string* line);

#endif  // INVOKEMODULE_CONSOLE_CONSOLE_H_
