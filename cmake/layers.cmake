# The source folders are the layers of the program, bottom up. A folder may
# include headers from itself and from the folders before it, never from a
# later one. Each library compiles against a view of the tree that holds only
# the folders it may see (a folder of links in the build tree), so an upward
# include does not compile; tools/check-layers.sh says the same to CI.
set(VISTREL_LAYERS base net core console settings disk relay web edge window app)

# client/ (the client side of the wire protocol and the recording files, for
# the shipped tools vistrel-film and vistrel-watch) sees the floors up to
# core: plain data and sockets, never the relay frame.
set(VISTREL_CLIENT_SEES base net core client)

# testing/ (code for the tests, benchmarks and helper programs) sees the
# relay and what is below it, and client/, never the window or the front ends.
set(VISTREL_TESTING_SEES base net core console settings disk relay client testing)

# vistrel_layer_view(TARGET FOLDER): TARGET compiles against the view of
# FOLDER: FOLDER itself and every layer before it. The view is PUBLIC, so a
# library above inherits it along with the link.
function(vistrel_layer_view target folder)
  if(folder STREQUAL "testing")
    set(seen ${VISTREL_TESTING_SEES})
  elseif(folder STREQUAL "client")
    set(seen ${VISTREL_CLIENT_SEES})
  else()
    list(FIND VISTREL_LAYERS ${folder} rank)
    if(rank LESS 0)
      message(FATAL_ERROR "${folder} is not a layer folder")
    endif()
    list(SUBLIST VISTREL_LAYERS 0 ${rank} seen)
    list(APPEND seen ${folder})
  endif()
  set(view ${PROJECT_BINARY_DIR}/layer-views/${folder})
  file(MAKE_DIRECTORY ${view})
  foreach(layer IN LISTS seen)
    if(NOT EXISTS ${view}/${layer})
      file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${layer} ${view}/${layer} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${view})
endfunction()

# Warnings are always on; -Werror only where asked for (the presets and CI),
# so that a user's build never fails on a new compiler's new warning.
option(VISTREL_WERROR "Treat compiler warnings as errors" OFF)
add_compile_options(-Wall -Wextra)
if(VISTREL_WERROR)
  add_compile_options(-Werror)
endif()
