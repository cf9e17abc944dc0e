# The release tool's own tests (host Python). Their end-to-end case installs a
# release from the tool through the client and sound flows, under Wine, with
# the install-release helper.

configure_file(${CMAKE_SOURCE_DIR}/tests/data/refused_client_paths.txt
  ${CMAKE_BINARY_DIR}/test-data/refused_client_paths.txt COPYONLY)

add_executable(install_release ${CMAKE_CURRENT_LIST_DIR}/install_release.cpp)
target_link_libraries(install_release PRIVATE procedures engine)
target_link_options(install_release PRIVATE -municode)
set_target_properties(install_release PROPERTIES OUTPUT_NAME install-release
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/standins)

add_test(NAME release_tool.make_release
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/make_release_test.py)
set_tests_properties(release_tool.make_release PROPERTIES
  FIXTURES_REQUIRED "test_prefix;test_server"
  ENVIRONMENT "${orvek_fixture_environment}"
  TIMEOUT 600)
