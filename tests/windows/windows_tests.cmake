# The tests built for Windows and run under Wine (GoogleTest, the test support library and
# core_tests come from tests/CMakeLists.txt).

# Creating the private Wine prefix takes seconds; it is done once, before the other tests.
add_test(NAME windows_prefix
  COMMAND env WINEPREFIX=${KORVELT_WINEPREFIX} WINEDEBUG=-all "WINEDLLOVERRIDES=mscoree,mshtml="
          ${KORVELT_WINE} wineboot --init)
set_tests_properties(windows_prefix PROPERTIES TIMEOUT 300 LABELS windows
                     FIXTURES_SETUP wine_prefix)

# The core tests, unchanged, in one Wine process: starting Wine costs seconds.
add_test(NAME windows_core_tests COMMAND core_tests)
set_tests_properties(windows_core_tests PROPERTIES TIMEOUT 300 LABELS windows
                     FIXTURES_REQUIRED wine_prefix)

# The history with the SQLite compiled into the Windows programs, in one Wine process (the
# concurrency test starts sixteen more).
add_test(NAME windows_history_tests COMMAND history_tests)
set_tests_properties(windows_history_tests PROPERTIES TIMEOUT 600 LABELS windows
                     FIXTURES_REQUIRED wine_prefix)

# A history file written by the Linux build and read by the Windows one, and the other way
# round: KORVELT_HOST_HISTORY_TESTS names the Linux build's history_tests.
set(KORVELT_HOST_HISTORY_TESTS "" CACHE FILEPATH
    "history_tests of the Linux build, for the shared history file test")
if(KORVELT_HOST_HISTORY_TESTS)
  add_test(NAME windows_history_shared_file
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/history_wine.sh ${KORVELT_WINEPREFIX}
            ${KORVELT_WINE} $<TARGET_FILE:history_tests> ${KORVELT_HOST_HISTORY_TESTS})
  set_tests_properties(windows_history_shared_file PROPERTIES TIMEOUT 300 LABELS windows
                       FIXTURES_REQUIRED wine_prefix)
endif()

# The Win32 serial backend on COM ports that Wine maps onto bridged pseudo-terminals.
add_executable(serial_win32_tests windows/serial_port_win32_test.cpp)
target_link_libraries(serial_win32_tests PRIVATE korvelt_serial GTest::gtest_main)
add_test(NAME windows_serial_tests
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/run_with_com_pairs.sh ${KORVELT_WINEPREFIX}
          3:4,12:13,14:15 ${KORVELT_WINE} $<TARGET_FILE:serial_win32_tests>)
# A fault on a worker thread can leave the exit status at 0 under Wine: its report fails the test.
set_tests_properties(windows_serial_tests PROPERTIES TIMEOUT 300 LABELS windows
                     FIXTURES_REQUIRED wine_prefix
                     RESOURCE_LOCK wine_com_ports
                     FAIL_REGULAR_EXPRESSION "Unhandled (page fault|exception)")

# korvelt-cli.exe against the virtual instrument, which runs natively: KORVELT_HOST_SIM names
# the Linux build's korvelt-sim.
set(KORVELT_HOST_SIM "" CACHE FILEPATH "korvelt-sim of the Linux build, for the Wine end-to-end test")
if(KORVELT_HOST_SIM)
  add_test(NAME windows_cli_end_to_end
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/cli_e2e_wine.sh ${KORVELT_WINEPREFIX}
            ${KORVELT_WINE} $<TARGET_FILE:korvelt-cli> ${KORVELT_HOST_SIM})
  set_tests_properties(windows_cli_end_to_end PROPERTIES TIMEOUT 400 LABELS windows
                     FIXTURES_REQUIRED wine_prefix
                       RESOURCE_LOCK wine_com_ports)
endif()

# The native dialog on a virtual screen: opened, checked, pictured and closed by WM_CLOSE.
add_executable(window_probe windows/window_probe.cpp)
add_test(NAME windows_updater_smoke
  COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/updater_smoke_wine.sh ${KORVELT_WINEPREFIX}-gui
          ${KORVELT_WINE} $<TARGET_FILE:korvelt-updater> $<TARGET_FILE:window_probe>
          ${CMAKE_BINARY_DIR}/artifacts/main-window-windows.png)
# The dialog tests have a prefix of their own (its desktop lives on their virtual screen) and
# take turns in it: the probe finds windows by title.
set_tests_properties(windows_updater_smoke PROPERTIES TIMEOUT 300 LABELS windows
                     RESOURCE_LOCK wine_desktop)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/artifacts)
if(KORVELT_HOST_SIM)
  # The same through the window's buttons: search the generator, write its FPGA image.
  add_test(NAME windows_updater_end_to_end
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/windows/updater_smoke_wine.sh ${KORVELT_WINEPREFIX}-gui
            ${KORVELT_WINE} $<TARGET_FILE:korvelt-updater> $<TARGET_FILE:window_probe>
            ${CMAKE_BINARY_DIR}/artifacts/after-fpga-update-windows.png ${KORVELT_HOST_SIM})
  set_tests_properties(windows_updater_end_to_end PROPERTIES TIMEOUT 300 LABELS windows
                       RESOURCE_LOCK wine_desktop)
endif()

# The version resource of both programs, read back from the files: the build's version.
find_program(KORVELT_PYTHON python3 REQUIRED)
add_test(NAME windows_version_resource
  COMMAND ${KORVELT_PYTHON} ${CMAKE_CURRENT_SOURCE_DIR}/windows/check_version_resource.py
          ${PROJECT_VERSION} ${KORVELT_VERSION_DIR}/program_version.cpp
          $<TARGET_FILE:korvelt-updater> $<TARGET_FILE:korvelt-cli>)
set_tests_properties(windows_version_resource PROPERTIES TIMEOUT 60 LABELS windows)

# The release checks on the committed releases, in one Wine process. Wine reaches the source
# tree through its Z: drive; there is no minisign tool here, so the tests that sign skip.
add_executable(release_tests ${CMAKE_CURRENT_SOURCE_DIR}/release_test.cpp)
target_link_libraries(release_tests PRIVATE korvelt_release GTest::gtest_main)
target_compile_definitions(release_tests PRIVATE
  KORVELT_RELEASE_TEST_DATA="Z:${CMAKE_CURRENT_SOURCE_DIR}/data/release" KORVELT_MINISIGN="")
add_test(NAME windows_release_tests COMMAND release_tests)
set_tests_properties(windows_release_tests PROPERTIES TIMEOUT 300 LABELS windows
                     FIXTURES_REQUIRED wine_prefix)
