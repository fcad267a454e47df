#include <iostream>

#include "cli/dispatch.h"

int main(int argc, char** argv) {
  const int status = rempar::run_program(argc, argv, std::cout);
  std::cout.flush();
  return std::cout ? status : 2;
}
