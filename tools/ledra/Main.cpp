// `ledra`, the command-line table utility.
#include <iostream>

#include "tools/ledra/LedraTool.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  return ledra::tool::RunLedraTool(argc, argv, std::cin, std::cout, std::cerr);
}
