#pragma once

#include <optional>
#include <string>

namespace korvelt {

// The conversions between the window's edit controls and its members.

// "%.*g" at precision 6: 0 shows "0", 100 shows "100", 85.33334 shows "85.3333".
std::string FormatProgress(float value);
std::string FormatInteger(int value);

// A number with optional blanks around it; the whole text must be used. An empty text reads
// as 0. Nothing for a malformed text.
std::optional<float> ParseFloatText(const std::string& text);
// A decimal integer with optional blanks around it; the whole text must be used and the
// value must fit. Nothing for an empty or malformed text.
std::optional<int> ParseIntegerText(const std::string& text);

inline constexpr const char* kParseRealMessage = "Please enter a number.";
inline constexpr const char* kParseIntMessage = "Please enter an integer.";

}  // namespace korvelt
