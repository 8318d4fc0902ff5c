# Turns a binary file into a C++ source defining `const uint8_t NAME[SIZE]`; fails when the
# file does not have the size expected.
# Inputs: INPUT, OUTPUT, NAME, EXPECTED_SIZE.
file(SIZE "${INPUT}" actual)
if(NOT actual EQUAL EXPECTED_SIZE)
  message(FATAL_ERROR "${INPUT} has ${actual} bytes; it must have exactly ${EXPECTED_SIZE}.")
endif()
file(READ "${INPUT}" hex HEX)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n  " bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
  "// Generated from ${INPUT} at build time; do not edit.\n"
  "#include <cstdint>\n"
  "namespace korvelt {\n"
  "extern const uint8_t ${NAME}[${EXPECTED_SIZE}];\n"
  "const uint8_t ${NAME}[${EXPECTED_SIZE}] = {\n  ${bytes}\n};\n"
  "}  // namespace korvelt\n")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
