#pragma once

namespace korvelt {

// The port number in use when the last search started; an exhausted search returns to it.
extern int g_nSavedPortNumber;

}  // namespace korvelt
