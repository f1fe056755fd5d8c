# One static library per layer. A layer's headers are reachable only through
# an include folder of its own in the build tree, which holds nothing but a
# link to the layer's source folder; a library sees the folders of the layers
# it links and no others, so an include against the direction fails to build.
#
#   fernwise_layer(<target> <folder> SOURCES ... [DEPENDS <layer targets>...])
function(fernwise_layer target folder)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "SOURCES;DEPENDS")
  add_library(${target} STATIC ${arg_SOURCES})
  fernwise_expose(${target} ${folder})
  target_link_libraries(${target} PUBLIC ${arg_DEPENDS})
endfunction()

# Lets `target` and whatever links it include "<folder>/...".
function(fernwise_expose target folder)
  set(stage ${CMAKE_BINARY_DIR}/layers/${folder})
  file(MAKE_DIRECTORY ${stage})
  if(NOT EXISTS ${stage}/${folder})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${stage}/${folder} SYMBOLIC)
  endif()
  target_include_directories(${target} PUBLIC ${stage})
endfunction()
