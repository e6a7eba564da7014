# Qt Test programs that drive the real operator window on Qt's offscreen
# platform; built only with the window library.
if(TARGET vistrel_window)
  find_package(Qt6 COMPONENTS Test REQUIRED)
  function(vistrel_add_window_test name)
    add_executable(${name} ${ARGN})
    set_target_properties(${name} PROPERTIES AUTOMOC ON)
    target_link_libraries(${name} PRIVATE vistrel_window Qt6::Test)
    target_include_directories(${name} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/window)
    target_compile_definitions(${name} PRIVATE VISTREL_SERVER_BIN="$<TARGET_FILE:vistrel-server>")
    add_dependencies(${name} vistrel-server)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES
      TIMEOUT 180
      ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
  endfunction()

  vistrel_add_window_test(window_pages_test ${CMAKE_CURRENT_LIST_DIR}/window/pages_test.cpp)
  vistrel_add_window_test(window_commands_test ${CMAKE_CURRENT_LIST_DIR}/window/commands_test.cpp)
  vistrel_add_window_test(window_lifecycle_test ${CMAKE_CURRENT_LIST_DIR}/window/lifecycle_test.cpp)
endif()
