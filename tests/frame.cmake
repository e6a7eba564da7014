vistrel_add_test(frame_tests
  ${CMAKE_CURRENT_LIST_DIR}/unit/main_form_test.cpp
  LIBS vistrel_relay)

vistrel_add_test(vistreld_tests
  ${CMAKE_CURRENT_LIST_DIR}/e2e/vistreld_process_test.cpp
  LIBS vistrel_net)
target_compile_definitions(vistreld_tests PRIVATE VISTRELD_PATH="$<TARGET_FILE:vistreld>")
add_dependencies(vistreld_tests vistreld)
