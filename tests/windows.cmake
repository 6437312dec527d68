# SPDX-License-Identifier: GPL-3.0-or-later
# The Windows build's own tests, run under Wine by scripts/check-windows.

# The captions are fitted with the fonts Windows has: on the windows
# platform (Wine's fonts, and the system's it finds), not the offscreen one,
# which has only the folder it is given.
foreach(test tst_fontfit tst_fontfit_scale2)
    get_test_property(${test} ENVIRONMENT environment)
    list(FILTER environment EXCLUDE REGEX "QPA_PLATFORM")
    set_tests_properties(${test} PROPERTIES ENVIRONMENT "${environment}" RUN_SERIAL TRUE)
endforeach()

# Real key events: the test types through XTest into its own Wine windows,
# on the X server of scripts/check-windows (the windows platform, not the
# offscreen one).
find_program(KAVRIK_XDOTOOL xdotool REQUIRED)
kavrik_add_test(tst_windowskeys windowtest.cpp windowtest.h)
target_compile_definitions(tst_windowskeys PRIVATE KAVRIK_XDOTOOL="${KAVRIK_XDOTOOL}")
set_tests_properties(tst_windowskeys PROPERTIES
    ENVIRONMENT "WINEQT_FORCE_STDERR_LOGGING=1"
    # Alone: another test's windows would take the keyboard.
    RUN_SERIAL TRUE)

# The port search on Windows itself: a port registered as Wine registers one
# (scripts/windows-env registers it as the session starts).
add_executable(tst_windowsports tst_windowsports.cpp)
set_target_properties(tst_windowsports PROPERTIES AUTOMOC ON)
target_link_libraries(tst_windowsports PRIVATE ftmscports Qt5::Test kavrik_common)
add_test(NAME tst_windowsports COMMAND tst_windowsports)
set_tests_properties(tst_windowsports PROPERTIES ENVIRONMENT "WINEQT_FORCE_STDERR_LOGGING=1" TIMEOUT 60)

# The program with the real controller library (beside it, as installed)
# against the Linux simulator, which scripts/windows-env builds natively and
# names in KAVRIK_HOST_BIN_DIR; Wine maps its pseudo-terminal to a COM port.
set(KAVRIK_HOST_BIN_DIR "" CACHE PATH "Where the Linux build's kavrik-simulator is, for the Windows tests")
if(NOT KAVRIK_HOST_BIN_DIR)
    message(FATAL_ERROR "The Windows tests drive the Linux simulator: KAVRIK_HOST_BIN_DIR names the Linux build's bin "
                        "folder (scripts/build-windows builds it and passes it)")
endif()
add_executable(tst_windowslink tst_windowslink.cpp simprocess.cpp simprocess.h simprocess_wine.cpp)
set_target_properties(tst_windowslink PROPERTIES AUTOMOC ON RUNTIME_OUTPUT_DIRECTORY ${KAVRIK_BIN_DIR})
target_link_libraries(tst_windowslink PRIVATE kavrik_testsupport kavrik_common)
# Its child, the program that is ended from outside, runs off screen.
qt5_import_plugins(tst_windowslink INCLUDE Qt5::QOffscreenIntegrationPlugin)
target_compile_definitions(tst_windowslink PRIVATE KAVRIK_XDOTOOL="${KAVRIK_XDOTOOL}"
    KAVRIK_HOST_SIMULATOR="${KAVRIK_HOST_BIN_DIR}/kavrik-simulator"
    KAVRIK_WINESIM="${CMAKE_CURRENT_SOURCE_DIR}/winesim.sh")
add_dependencies(tst_windowslink ftMscLib ftmsclib-guardian)
add_test(NAME tst_windowslink COMMAND tst_windowslink)
set_tests_properties(tst_windowslink PROPERTIES
    ENVIRONMENT "WINEQT_FORCE_STDERR_LOGGING=1"
    # Alone: another test's windows would take the keyboard.
    RUN_SERIAL TRUE
    TIMEOUT 300)

# The installer, installed, started and uninstalled (run natively: it
# starts Wine itself).
add_test(NAME tst_install_windows COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/tst_install_windows.sh)
set_tests_properties(tst_install_windows PROPERTIES
    ENVIRONMENT "KAVRIK_INSTALLER=${CMAKE_BINARY_DIR}/kavrik-setup-${PROJECT_VERSION}.exe;KAVRIK_XDOTOOL=${KAVRIK_XDOTOOL};KAVRIK_LINK_TEST=$<TARGET_FILE:tst_windowslink>"
    RUN_SERIAL TRUE
    TIMEOUT 240)
