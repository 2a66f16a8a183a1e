# One floor of the program: a static library that names its sources and shows the floors
# above it only the headers they may use.
#
#   kadrel_floor(TARGET
#     SOURCES ...            the .cpp files (and .qrc)
#     PUBLIC_HEADERS ...     headers other folders include
#     PRIVATE_HEADERS ...    headers only this folder includes)
#
# Each header is linked into a folder of the build tree under its own folder's name
# (floors/TARGET/public/serial/ComPort.h), and only that folder is on the include path: the
# source tree itself is not. So a file sees its own folder and what the libraries it links
# show it, and an include up a floor is a header the compiler does not find.
include_guard(GLOBAL)

# KADREL_WERROR (the top-level option) makes the project's own warnings errors; Qt's and
# GoogleTest's headers come in as system headers and are not judged.
function(kadrel_own_code target)
  if(KADREL_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

function(kadrel_floor target)
  cmake_parse_arguments(PARSE_ARGV 1 F "" "" "SOURCES;PUBLIC_HEADERS;PRIVATE_HEADERS")
  if(F_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kadrel_floor(${target}): unknown arguments ${F_UNPARSED_ARGUMENTS}")
  endif()
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  set(staging ${CMAKE_BINARY_DIR}/floors/${target})
  # A header dropped from the lists must not stay visible from an earlier configure.
  file(REMOVE_RECURSE ${staging})
  foreach(kind public private)
    string(TOUPPER ${kind} list)
    file(MAKE_DIRECTORY ${staging}/${kind}/${folder})
    foreach(header IN LISTS F_${list}_HEADERS)
      if(NOT EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/${header})
        message(FATAL_ERROR "kadrel_floor(${target}): no ${folder}/${header}")
      endif()
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${staging}/${kind}/${folder}/${header} SYMBOLIC)
    endforeach()
  endforeach()
  add_library(${target} STATIC ${F_SOURCES} ${F_PUBLIC_HEADERS} ${F_PRIVATE_HEADERS})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${staging}/public> PRIVATE ${staging}/private)
  kadrel_own_code(${target})
endfunction()
