// korvelt-rcgen: writes the Windows resource script from the layout table, or checks that a
// committed script is still what the table gives.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "frontends/win32/resource_script.h"

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "--check") != 0 && std::strcmp(argv[1], "-o") != 0)) {
    std::fprintf(stderr, "usage: korvelt-rcgen -o FILE | --check FILE\n");
    return 2;
  }
  const std::string script = korvelt::win32::WriteResourceScript();
  if (std::strcmp(argv[1], "-o") == 0) {
    std::ofstream out(argv[2], std::ios::binary);
    out << script;
    return out ? 0 : 1;
  }
  std::ifstream in(argv[2], std::ios::binary);
  const std::string committed((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
  if (committed == script) return 0;
  std::fprintf(stderr, "%s differs from the layout table; run 'make win32-rc'\n", argv[2]);
  return 1;
}
