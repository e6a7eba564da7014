# vistrel_relay: TMainForm and its handlers.
add_library(vistrel_relay STATIC
  ${CMAKE_CURRENT_LIST_DIR}/main_form.cpp
  ${CMAKE_CURRENT_LIST_DIR}/senders.cpp
  ${CMAKE_CURRENT_LIST_DIR}/viewers.cpp
  ${CMAKE_CURRENT_LIST_DIR}/distribution.cpp
  ${CMAKE_CURRENT_LIST_DIR}/commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/receive_buffer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/game_viewers.cpp
)
target_link_libraries(vistrel_relay PUBLIC vistrel_net vistrel_core_data vistrel_console_lists vistrel_settings)
