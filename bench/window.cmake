# The operator window's cost to the relay (Qt offscreen), against baselines
# measured in the same run.
if(TARGET vistrel_window)
  add_executable(window_bench ${CMAKE_CURRENT_LIST_DIR}/window_bench.cpp)
  target_link_libraries(window_bench PRIVATE vistrel_window benchmark::benchmark)
endif()
