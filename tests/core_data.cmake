# Unit tests of the wire protocol, game registry, payload verification and console lists.
vistrel_add_test(core_data_test
  ${CMAKE_CURRENT_LIST_DIR}/unit/protocol_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/game_list_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/zlib_stream_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/demo_verify_test.cpp
  LIBS vistrel_core_data ZLIB::ZLIB)
vistrel_add_test(console_lists_test
  ${CMAKE_CURRENT_LIST_DIR}/unit/console_lists_test.cpp
  LIBS vistrel_console_lists)
