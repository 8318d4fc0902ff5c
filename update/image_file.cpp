#include "update/image_file.h"

namespace korvelt {

std::string PortablePath(const std::string& windowsPath) {
  std::string path = windowsPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

}  // namespace korvelt
