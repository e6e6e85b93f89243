// `ledra`, the command-line table utility.
#include <iostream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

#include "tools/ledra/LedraTool.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // Records go in and out through the standard streams byte for byte: in text
  // mode Windows would turn a CR LF inside an imported memo into LF and add a
  // CR before every LF of an export.
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  std::ios::sync_with_stdio(false);
  return ledra::tool::RunLedraTool(argc, argv, std::cin, std::cout, std::cerr);
}
