#include <iostream>

#include "release/releasetool.h"

int main(int argc, char** argv) {
  return RunReleaseTool(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
