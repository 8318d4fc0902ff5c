#pragma once

#include <string>
#include <string_view>

namespace korvelt {

// The text of the "Application Error" box for a failed serial API call. It is built in a
// growing string, so a long system text is never cut or written past a buffer.
std::string ComposeCommErrorText(std::string_view operation, std::string_view systemText,
                                 int portNumber);

inline constexpr const char* kCommErrorCaption = "Application Error";

}  // namespace korvelt
