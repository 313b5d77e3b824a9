#include <iostream>

#include "core/print_file.hpp"
#include "driver/driver.hpp"

int main(int argc, char** argv) {
  vadrel::install_stop_signals();
  return vadrel::run_program(argc, argv, std::cout);
}
