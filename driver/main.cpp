#include <iostream>

#include "driver/driver.hpp"

int main(int argc, char** argv) {
  return vadrel::run_program(argc, argv, std::cout);
}
