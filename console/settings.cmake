# vistrel_settings: setup fields, registry store, settings and list layouts.
add_library(vistrel_settings STATIC
  ${CMAKE_CURRENT_LIST_DIR}/setup_fields.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry_format.cpp
  ${CMAKE_CURRENT_LIST_DIR}/registry.cpp
  ${CMAKE_CURRENT_LIST_DIR}/settings.cpp
  ${CMAKE_CURRENT_LIST_DIR}/list_layout.cpp
)
target_link_libraries(vistrel_settings PUBLIC vistrel_net)
