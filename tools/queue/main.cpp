#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "queue_tool.h"
#include "quillpost_version.h"

int main(int argc, char** argv) {
  if (quillpost::AsksForVersion(argc, argv)) {
    return quillpost::PrintVersion("quillpost-queue");
  }
  std::vector<std::string> arguments(argv + 1, argv + argc);
  // Run as mailq, it is quillpost-queue mailq.
  if (argc > 0 && std::filesystem::path(argv[0]).filename() == "mailq") {
    arguments.insert(arguments.begin(), "mailq");
  }
  return quillpost::queue::RunQueueTool(arguments, std::cout, std::cerr,
                                        ::isatty(STDERR_FILENO) == 1);
}
