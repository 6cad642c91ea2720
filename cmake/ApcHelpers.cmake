# One list of warnings and one helper for libraries and tests.
set(APC_WARNINGS -Wall -Wextra -Werror -Wshadow -Wnon-virtual-dtor -Wcast-align)

set(APC_SANITIZER_FLAGS "")
if(APC_SANITIZE STREQUAL "address")
  set(APC_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(APC_SANITIZE STREQUAL "thread")
  set(APC_SANITIZER_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
endif()
add_compile_options(${APC_SANITIZER_FLAGS})

# Size-optimised build (the device's; the cross toolchain file turns it on):
# -Os, one section per function and object so that the linker drops whatever
# nothing calls, and programs stripped when installed.
option(APC_SIZE_OPTIMIZED "Optimise for size, drop unused sections, strip on install" OFF)
if(APC_SIZE_OPTIMIZED)
  add_compile_options(-Os -ffunction-sections -fdata-sections)
  add_link_options(-Wl,--gc-sections)
  install(CODE "set(CMAKE_INSTALL_DO_STRIP TRUE)")
endif()
# 64-bit file offsets and inode numbers on 32-bit targets too: without them
# stat() and readdir() fail with EOVERFLOW on large file systems.
add_compile_definitions(_FILE_OFFSET_BITS=64)
add_link_options(${APC_SANITIZER_FLAGS})

# apc_library(NAME SOURCES ... DEPS ...): a static library whose headers are found
# from the project root ("platform/utility.h").
function(apc_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_compile_options(${name} PRIVATE ${APC_WARNINGS})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS})
endfunction()

# apc_test(NAME SOURCES ... DEPS ...): a GoogleTest executable registered with ctest.
function(apc_test name)
  if(NOT APC_BUILD_TESTS)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE ${APC_WARNINGS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                       PROPERTIES TIMEOUT 300)
endfunction()

# apc_folder(NAME DEPS ... TEST_DEPS ...): the static library of one source folder
# (every .cpp but *_test.cpp and main.cpp) and one test executable per *_test.cpp.
function(apc_folder name)
  cmake_parse_arguments(ARG "" "" "DEPS;TEST_DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  file(GLOB tests CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  list(FILTER sources EXCLUDE REGEX "(_test|/main)\\.cpp$")
  apc_library(${name} SOURCES ${sources} DEPS ${ARG_DEPS})
  foreach(test_source ${tests})
    get_filename_component(test_name ${test_source} NAME_WE)
    apc_test(${test_name} SOURCES ${test_source} DEPS ${name} ${ARG_TEST_DEPS})
  endforeach()
endfunction()

# The tools' version header, generated from project(): link apc_version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/apc_version.h.in ${CMAKE_BINARY_DIR}/generated/apc_version.h @ONLY)
add_library(apc_version INTERFACE)
target_include_directories(apc_version INTERFACE ${CMAKE_BINARY_DIR}/generated)

# apc_install_init_script(FILE NAME): installs an init script as
# <sysconfdir>/init.d/NAME, where <sysconfdir> is decided by the prefix given
# at install time: /etc for the prefix /usr (the device image and Debian),
# /etc/opt/... for a prefix under /opt, <prefix>/etc otherwise. DESTDIR applies.
function(apc_install_init_script file name)
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\" OR CMAKE_INSTALL_PREFIX STREQUAL \"/usr/\")
      set(apc_etc \"/etc\")
    elseif(CMAKE_INSTALL_PREFIX MATCHES \"^/opt/(.+)\$\")
      set(apc_etc \"/etc/opt/\${CMAKE_MATCH_1}\")
    else()
      set(apc_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
    endif()
    file(INSTALL DESTINATION \"\${apc_etc}/init.d\" TYPE PROGRAM RENAME \"${name}\" FILES \"${file}\")
  ")
endfunction()

# Where the systemd units go: <prefix>/lib/systemd/system (for /usr the
# directory Debian's merged /usr shares with /lib/systemd/system).
set(APC_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "systemd unit directory, relative to the prefix")
