# Load program for the connection layer: many loopback connections against one
# listening server, compared with a bare epoll loop in the same run.
add_executable(net_load ${CMAKE_CURRENT_LIST_DIR}/net_load.cpp)
target_link_libraries(net_load PRIVATE vistrel_net)
