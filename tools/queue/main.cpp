#include <iostream>
#include <string>
#include <vector>

#include "queue_tool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  return quillpost::queue::RunQueueTool(arguments, std::cout, std::cerr);
}
