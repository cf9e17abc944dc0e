# Test stand-ins for the outside programs the updater starts, and helper
# programs of the engine tests. All land in bin/standins.

set(orvek_standin_dir ${CMAKE_BINARY_DIR}/bin/standins)

# powershell.exe: extracts ZIPs like [IO.Compression.ZipFile]::ExtractToDirectory.
add_executable(powershell_standin ${CMAKE_CURRENT_LIST_DIR}/powershell_standin.cpp)
target_link_libraries(powershell_standin PRIVATE z)
target_link_options(powershell_standin PRIVATE -municode)

# orvek.exe: records how it was started and waits to be told to exit. A GUI
# program like the game, with no window: as a console program, started the
# way the game is, it would get a console window of its own that takes the
# keyboard focus from the windows of other tests.
add_executable(fake_game WIN32 ${CMAKE_CURRENT_LIST_DIR}/fake_game.cpp)
target_link_options(fake_game PRIVATE -municode)

# Installs and rolls back in a loop, to be killed at random moments.
add_executable(transaction_crash_child ${CMAKE_CURRENT_LIST_DIR}/transaction_crash_child.cpp)
target_link_libraries(transaction_crash_child PRIVATE engine)
target_link_options(transaction_crash_child PRIVATE -municode)

set_target_properties(powershell_standin PROPERTIES OUTPUT_NAME powershell RUNTIME_OUTPUT_DIRECTORY ${orvek_standin_dir})
set_target_properties(fake_game PROPERTIES OUTPUT_NAME orvek RUNTIME_OUTPUT_DIRECTORY ${orvek_standin_dir})
set_target_properties(transaction_crash_child PROPERTIES OUTPUT_NAME transaction-crash-child
  RUNTIME_OUTPUT_DIRECTORY ${orvek_standin_dir})

foreach(test_program engine_tests procedures_tests shell_tests)
  if(TARGET ${test_program})
    add_dependencies(${test_program} powershell_standin fake_game)
  endif()
endforeach()
if(TARGET engine_tests)
  add_dependencies(engine_tests transaction_crash_child)
endif()

# Runs run_update with its real command line, boxes answered from a script.
add_executable(update_run_driver ${CMAKE_CURRENT_LIST_DIR}/update_run_driver.cpp)
target_link_libraries(update_run_driver PRIVATE procedures)
target_link_options(update_run_driver PRIVATE -municode)
set_target_properties(update_run_driver PROPERTIES OUTPUT_NAME update-run-driver
  RUNTIME_OUTPUT_DIRECTORY ${orvek_standin_dir})
if(TARGET procedures_tests)
  add_dependencies(procedures_tests update_run_driver)
  # The release tool the tests publish with.
  target_compile_definitions(procedures_tests PRIVATE ORVEK_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
