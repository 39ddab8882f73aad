# kx_library(NAME DIR [DEPS ...]): one static library of every .cc file in DIR
# (not recursing), so a new module needs no build edit.  A folder with no
# source yet gives an interface library.
function(kx_library name)
  cmake_parse_arguments(KX "" "" "DEPS" ${ARGN})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  list(FILTER srcs EXCLUDE REGEX ".*/(kxreporter|reportpeek|logpeek)\\.cc$")
  if(srcs)
    add_library(${name} STATIC ${srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${KX_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${KX_DEPS})
  endif()
endfunction()

# kx_program(NAME SOURCE LIBS...): a program, built only once its source exists.
function(kx_program name source)
  if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${source})
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE ${ARGN})
  endif()
endfunction()
