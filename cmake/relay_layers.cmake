# The relay's folders as layers: each folder of src/ is one static library
# that declares the folders it builds on, and it sees the headers of those
# folders only. Every folder gets an include root of its own in the build
# tree, holding one link named after the folder (build/include/tarn/tarn ->
# src/tarn), so "tarn/tarn_tag.h" is found only by a library that links
# relay_tarn (or one that builds on it): an include of a folder above fails
# to compile instead of quietly making a cycle.

set(RELAY_INCLUDE_ROOTS ${CMAKE_BINARY_DIR}/include)

# relay_include_root(FOLDER VARIABLE): makes FOLDER's include root and sets
# VARIABLE to it.
function(relay_include_root folder variable)
  set(root ${RELAY_INCLUDE_ROOTS}/${folder})
  file(MAKE_DIRECTORY ${root})
  file(CREATE_LINK ${PROJECT_SOURCE_DIR}/src/${folder} ${root}/${folder} SYMBOLIC)
  set(${variable} ${root} PARENT_SCOPE)
endfunction()

# relay_library(FOLDER [DEPENDS target...]): the library relay_FOLDER of
# every source in src/FOLDER, seeing its own headers and those of DEPENDS.
function(relay_library folder)
  cmake_parse_arguments(L "" "" "DEPENDS" ${ARGN})
  relay_include_root(${folder} root)
  file(GLOB sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/${folder}/*.cc)
  add_library(relay_${folder} STATIC ${sources})
  target_include_directories(relay_${folder} PUBLIC ${root})
  target_link_libraries(relay_${folder} PUBLIC ${L_DEPENDS})
endfunction()
