# Writes the program version, the project's version plus `git describe` where the source is a
# git tree, into a C++ source and a version resource for each Windows program. Run at every build; each file is
# rewritten only when its text changes, so an unchanged version rebuilds nothing.
# Inputs: SOURCE_DIR, OUTPUT_DIR, VERSION, GIT (may be empty), PROGRAMS (comma-separated).
set(describe "")
if(GIT)
  execute_process(COMMAND ${GIT} -C ${SOURCE_DIR} describe --always --dirty --tags
                  OUTPUT_VARIABLE describe OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(describe "")
  endif()
endif()
set(full "${VERSION}")
if(describe)
  set(full "${VERSION} (${describe})")
endif()
string(REPLACE "." "," numeric "${VERSION}.0")

file(WRITE "${OUTPUT_DIR}/program_version.cpp.tmp"
  "// Generated at build time by cmake/WriteVersion.cmake; do not edit.\n"
  "#include \"resources/program_version.h\"\n"
  "namespace korvelt {\n"
  "std::string_view ProgramVersion() { return \"${full}\"; }\n"
  "}  // namespace korvelt\n")
file(COPY_FILE "${OUTPUT_DIR}/program_version.cpp.tmp" "${OUTPUT_DIR}/program_version.cpp"
     ONLY_IF_DIFFERENT)

# One version resource per Windows program: the numbers are the project's version, the
# strings the full version that --version prints.
string(REPLACE "," ";" programs "${PROGRAMS}")
foreach(program IN LISTS programs)
  set(rc "${OUTPUT_DIR}/${program}.version.rc")
  file(WRITE "${rc}.tmp"
    "// Generated at build time by cmake/WriteVersion.cmake; do not edit.\n"
    "#include <winver.h>\n"
    "1 VERSIONINFO\n"
    "FILEVERSION ${numeric}\n"
    "PRODUCTVERSION ${numeric}\n"
    "FILEFLAGSMASK 0x3fL\n"
    "FILEFLAGS 0x0L\n"
    "FILEOS VOS_NT_WINDOWS32\n"
    "FILETYPE VFT_APP\n"
    "FILESUBTYPE 0x0L\n"
    "BEGIN\n"
    "  BLOCK \"StringFileInfo\"\n"
    "  BEGIN\n"
    "    BLOCK \"040904B0\"\n"
    "    BEGIN\n"
    "      VALUE \"FileDescription\", \"Firmware updater for the rack KORVELT instrument\"\n"
    "      VALUE \"FileVersion\", \"${full}\"\n"
    "      VALUE \"InternalName\", \"${program}\"\n"
    "      VALUE \"OriginalFilename\", \"${program}.exe\"\n"
    "      VALUE \"ProductName\", \"korvelt-updater\"\n"
    "      VALUE \"ProductVersion\", \"${full}\"\n"
    "    END\n"
    "  END\n"
    "  BLOCK \"VarFileInfo\"\n"
    "  BEGIN\n"
    "    VALUE \"Translation\", 0x409, 1200\n"
    "  END\n"
    "END\n")
  file(COPY_FILE "${rc}.tmp" "${rc}" ONLY_IF_DIFFERENT)
endforeach()
