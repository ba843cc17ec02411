#pragma once

// The quillpost-queue command line: administration of queues and stores.

#include <ostream>
#include <string>
#include <vector>

namespace quillpost::queue {

// Runs the command in arguments (without the program name). Returns the exit
// status: 0 done, 1 the command failed, 2 the command line was wrong.
// terminal: err is a terminal, where long purges and moves show progress.
int RunQueueTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err,
                 bool terminal = false);

}  // namespace quillpost::queue
