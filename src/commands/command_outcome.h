// What carrying out a command or a script came to, for the one that runs it.
#ifndef INVOKEMODULE_COMMANDS_COMMAND_OUTCOME_H_
#define INVOKEMODULE_COMMANDS_COMMAND_OUTCOME_H_

enum class CommandOutcome {
  Continue,  // go on with the next line
  Exit,      // `exit` was run, here or in a script it ran: the program stops
  Aborted,   // a script stopped early, by an interrupt or because the session is ending
};

#endif  // INVOKEMODULE_COMMANDS_COMMAND_OUTCOME_H_
