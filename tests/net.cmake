# Connection layer: plain units, then real loopback sockets.
vistrel_add_test(net_unit_test
  ${CMAKE_CURRENT_LIST_DIR}/unit/net_send_buffer_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/unit/net_event_loop_test.cpp
  LIBS vistrel_net)
vistrel_add_test(net_e2e_test
  ${CMAKE_CURRENT_LIST_DIR}/e2e/net_server_test.cpp
  LIBS vistrel_net)
