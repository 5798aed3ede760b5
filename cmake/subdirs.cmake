# add_child_directories(): adds every direct child folder of the current
# source folder that has a CMakeLists.txt, in name order. Each platform
# library, each test folder and each program lives in a folder of its own,
# so adding one needs no edit of a shared list.
function(add_child_directories)
  file(GLOB children LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*)
  list(SORT children)
  foreach(child IN LISTS children)
    if(IS_DIRECTORY ${child} AND EXISTS ${child}/CMakeLists.txt)
      add_subdirectory(${child})
    endif()
  endforeach()
endfunction()
