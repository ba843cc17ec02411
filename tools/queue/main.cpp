#include <iostream>
#include <string>
#include <vector>

#include "queue_tool.h"
#include "quillpost_version.h"

int main(int argc, char** argv) {
  if (quillpost::AsksForVersion(argc, argv)) {
    return quillpost::PrintVersion("quillpost-queue");
  }
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return quillpost::queue::RunQueueTool(arguments, std::cout, std::cerr);
}
