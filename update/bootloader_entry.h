#pragma once

namespace korvelt {

// What the banner recogniser counts beside its named members.
struct BootloaderRequestRetries {
  int fallbackLines = 0;  // fallback answers to the current request, in a row
};

}  // namespace korvelt
