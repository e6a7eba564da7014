# Load program for the relay: senders uploading into ten games, thousands of
# loopback viewers, a distribution tick against a bare send loop.
find_package(Threads REQUIRED)
add_executable(relay_load ${CMAKE_CURRENT_LIST_DIR}/relay_load.cpp)
target_link_libraries(relay_load PRIVATE vistrel_relay ZLIB::ZLIB Threads::Threads)

