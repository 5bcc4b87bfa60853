// shufflesort: sorts the integers in ./sortdata.txt by shuffling them until a
// shuffle comes out in order. Takes no arguments.
#include <iostream>

#include "sort_run.h"

int main() {
  return shufflesort::run_sort("sortdata.txt", shufflesort::clock_seed, std::cout, std::cerr);
}
