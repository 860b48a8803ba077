#ifndef CHECKCOMMAND_H
#define CHECKCOMMAND_H

#include "acceptancecheck.h"
#include "commandline.h"
#include "reading.h"

// The end of check: the figures printed, the record and the report written, the exit code.
namespace CheckCommand {

// reading: the persistent block and the last volatile read of the point.
int finish(const CommandLine::Request &request, const Commissioning::Reading &reading,
           const Commissioning::PointResult &point);

// The program that draws the report: next to this one in a build tree, else where it is
// installed. Empty when neither is there.
QString reportProgram();

} // namespace CheckCommand

#endif // CHECKCOMMAND_H
