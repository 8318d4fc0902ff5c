#include "serial/comm_error.h"

namespace korvelt {

std::string ComposeCommErrorText(std::string_view operation, std::string_view systemText,
                                 int portNumber) {
  std::string text = "WARNING:  ";
  text += operation;
  text += " Failed with the following error: \n";
  text += systemText;
  text += "\nPort: ";
  text += std::to_string(portNumber);
  text += "\n";
  return text;
}

}  // namespace korvelt
