#pragma once

#include <string>
#include <string_view>

namespace korvelt {

// The version every program reports: the project's version, then `git describe` where the
// build came from a git tree ("1.0.0 (9498b6b-dirty)").
std::string_view ProgramVersion();

// What --version prints: "korvelt-cli 1.0.0 (9498b6b)".
inline std::string VersionLine(std::string_view program) {
  return std::string(program) + " " + std::string(ProgramVersion());
}

}  // namespace korvelt
