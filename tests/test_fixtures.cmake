# Test fixtures: the Wine prefix with the trusted test CA and the stand-ins
# (test_prefix), and the HTTPS test server (test_server). Every test suite
# requires both; ctest runs the set-up once per ctest run.

find_package(Python3 REQUIRED COMPONENTS Interpreter)
find_program(ORVEK_OPENSSL openssl REQUIRED)
find_program(ORVEK_FLOCK flock REQUIRED)

# Trusts the test CA inside the test prefix; run by tools/prepare-test-prefix.
add_executable(trust-test-ca ${CMAKE_SOURCE_DIR}/tools/trust_test_ca.cpp)
target_link_libraries(trust-test-ca PRIVATE crypt32)
target_link_options(trust-test-ca PRIVATE -municode)

# Runs a test program in a Wine desktop of its own (tools/wine-run).
add_executable(own-desktop ${CMAKE_SOURCE_DIR}/tools/own_desktop.cpp)
target_include_directories(own-desktop PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(own-desktop PRIVATE -municode)

# Plays the player in scripts/demo: answers the updater's questions and takes
# a picture of its window.
add_executable(demo-driver ${CMAKE_SOURCE_DIR}/tools/demo_driver.cpp)
target_link_libraries(demo-driver PRIVATE z gdi32 user32)
target_link_options(demo-driver PRIVATE -municode)

set(orvek_fixture_environment "ORVEK_BUILD_DIR=${CMAKE_BINARY_DIR};ORVEK_TEST_STATE_DIR=${test_state_dir}")

add_test(NAME fixture.test_prefix
  COMMAND ${CMAKE_SOURCE_DIR}/tools/prepare-test-prefix ${CMAKE_BINARY_DIR})
set_tests_properties(fixture.test_prefix PROPERTIES
  FIXTURES_SETUP test_prefix
  ENVIRONMENT "${orvek_fixture_environment}"
  TIMEOUT 300)

add_test(NAME fixture.test_server_start
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/server/server_ctl.py start ${test_state_dir})
set_tests_properties(fixture.test_server_start PROPERTIES
  FIXTURES_SETUP test_server
  FIXTURES_REQUIRED test_prefix
  TIMEOUT 60)

add_test(NAME fixture.test_server_stop
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/server/server_ctl.py stop ${test_state_dir})
set_tests_properties(fixture.test_server_stop PROPERTIES
  FIXTURES_CLEANUP test_server
  TIMEOUT 60)

# The test server's client side talks to it with WinHTTP of its own.
target_link_libraries(test_support PUBLIC winhttp ws2_32)

# The server's own logic, on the host.
add_test(NAME server.https_server
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/server/https_server_test.py)

# The README's main command, end to end against a real web server: its own
# nginx, Wine prefix, CA and virtual display.
add_test(NAME demo.headless COMMAND ${CMAKE_SOURCE_DIR}/scripts/demo --headless)
set_tests_properties(demo.headless PROPERTIES
  ENVIRONMENT "ORVEK_BUILD=${CMAKE_BINARY_DIR}"
  TIMEOUT 900)
