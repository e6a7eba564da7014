# The relay end to end: senders, viewers, distribution and the operator's
# commands against a TMainForm on loopback.
vistrel_add_test(relay_e2e_test
  ${CMAKE_CURRENT_LIST_DIR}/e2e/relay_sender_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e/relay_viewer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e/relay_distribution_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/e2e/relay_commands_test.cpp
  LIBS vistrel_relay ZLIB::ZLIB)
