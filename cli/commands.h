#ifndef COMMANDS_H
#define COMMANDS_H

#include "commandline.h"

// The subcommands: only their sequencing is the command line's own. Frames, the transaction's
// timing, the judging and decoding of answers and the status texts are the window's.
namespace Commands {

// Runs one parsed request to its end and returns the exit code; prints on stdout what the user
// asked for, and each failure as one line on stderr.
int run(const CommandLine::Request &request);

// Monitor and scan end after the transaction in flight once this is set (by the SIGINT
// handler).
void requestStop();
bool stopping();

// Finds the transmitters on a line (cli/scancommand.cpp).
int scan(const CommandLine::Request &request);

} // namespace Commands

#endif // COMMANDS_H
