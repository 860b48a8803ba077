#ifndef FIELDCOMMANDS_H
#define FIELDCOMMANDS_H

#include "commandline.h"
#include "stopsignal.h"

// The commands that poll several units of a line: monitor and publish.
namespace FieldCommands {

int monitor(const CommandLine::Request &request);
int publish(const CommandLine::Request &request);

// Requested from a signal handler: the transaction in flight ends, then the command.
extern Bus::StopSignal stop;

} // namespace FieldCommands

#endif // FIELDCOMMANDS_H
