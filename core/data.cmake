# vistrel_core_data: wire protocol, game registry, payload verification.
add_library(vistrel_core_data STATIC
  ${CMAKE_CURRENT_LIST_DIR}/protocol.cpp
  ${CMAKE_CURRENT_LIST_DIR}/game_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zlib_stream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo_verify.cpp
)
target_link_libraries(vistrel_core_data PUBLIC vistrel_net ZLIB::ZLIB)
