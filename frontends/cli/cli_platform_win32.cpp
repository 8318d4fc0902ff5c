#include <windows.h>
// bcrypt.h after windows.h, which defines its types
#include <bcrypt.h>

#include "frontends/cli/cli_platform.h"
#include "serial/port_listing.h"

namespace korvelt::cli {

bool LaunchDetached(const std::string& commandLine, int showCommand) {
  return ::WinExec(commandLine.c_str(), static_cast<UINT>(showCommand)) > 31;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return ::GetConsoleMode(::GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool StderrCanRedraw() {
  const HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!::GetConsoleMode(err, &mode)) return false;
  return ::SetConsoleMode(err, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

std::string Sha256Hex(const uint8_t* bytes, std::size_t count) {
  unsigned char digest[32];
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0)
    return {};
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool done = ::BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
  done =
      done && ::BCryptHashData(hash, const_cast<PUCHAR>(bytes), static_cast<ULONG>(count), 0) == 0;
  done = done && ::BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
  if (hash) ::BCryptDestroyHash(hash);
  ::BCryptCloseAlgorithmProvider(algorithm, 0);
  if (!done) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char byte : digest) {
    hex += kHex[byte >> 4];
    hex += kHex[byte & 15];
  }
  return hex;
}

void UsePortFolder(const std::string&) {}

std::string DescribePorts() {
  return ListPorts();
}

}  // namespace korvelt::cli
