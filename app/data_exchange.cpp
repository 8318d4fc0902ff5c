#include "app/data_exchange.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace korvelt {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::string FormatProgress(float value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", 6, static_cast<double>(value));
  return text;
}

std::string FormatInteger(int value) {
  return std::to_string(value);
}

std::optional<float> ParseFloatText(const std::string& text) {
  const char* start = text.c_str();
  while (IsBlank(*start)) ++start;
  char* end = nullptr;
  double value = std::strtod(start, &end);
  while (IsBlank(*end)) ++end;
  if (*end != '\0') return std::nullopt;
  return static_cast<float>(value);
}

std::optional<int> ParseIntegerText(const std::string& text) {
  const char* start = text.c_str();
  while (IsBlank(*start)) ++start;
  if (*start == '\0') return std::nullopt;
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(start, &end, 10);
  if (end == start || errno == ERANGE || value < INT_MIN || value > INT_MAX) return std::nullopt;
  while (IsBlank(*end)) ++end;
  if (*end != '\0') return std::nullopt;
  return static_cast<int>(value);
}

}  // namespace korvelt
