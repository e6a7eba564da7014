# vistrel_console_lists: games list, user list, log lines.
add_library(vistrel_console_lists STATIC
  ${CMAKE_CURRENT_LIST_DIR}/console_lists.cpp
)
# Shares the registry's list index error.
target_link_libraries(vistrel_console_lists PUBLIC vistrel_core_data)
