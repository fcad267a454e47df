#include <iostream>

#include "cli/dispatch.h"
#include "common/standard_descriptors.h"

int main(int argc, char** argv) {
  rempar::io::fill_standard_descriptors();
  const int status = rempar::run_program(argc, argv, std::cout, std::cerr);
  std::cout.flush();
  return std::cout && std::cerr ? status : 2;
}
