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
# from the project root ("core/auto_provision_client.h").
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

# apc_platform_library(NAME [HEADER_ONLY] DEPS ...): the platform library of
# the current folder, platform/NAME, target apc_NAME, headers included as
# "NAME/header.h", tests beside it. A firmware build links the device's own
# library instead with APC_<NAME>_LIBRARY (a target or a library file) and
# APC_<NAME>_INCLUDE_DIR (the directory that holds NAME/*.h, searched before
# ours); ours and its tests are then not built.
function(apc_platform_library name)
  cmake_parse_arguments(ARG "HEADER_ONLY" "" "DEPS" ${ARGN})
  string(TOUPPER ${name} upper)
  set(APC_${upper}_LIBRARY "" CACHE STRING "The device's own ${name} library (target or file) instead of ours")
  set(APC_${upper}_INCLUDE_DIR "" CACHE PATH "Include directory of the device's ${name} library")
  set(target apc_${name})
  if(APC_${upper}_LIBRARY)
    message(STATUS "platform: ${name} library ${APC_${upper}_LIBRARY}, headers in ${APC_${upper}_INCLUDE_DIR}")
    add_library(${target} INTERFACE)
    target_link_libraries(${target} INTERFACE ${APC_${upper}_LIBRARY} ${ARG_DEPS})
  elseif(ARG_HEADER_ONLY)
    add_library(${target} INTERFACE)
    target_include_directories(${target} INTERFACE ${PROJECT_SOURCE_DIR}/platform)
    target_link_libraries(${target} INTERFACE ${ARG_DEPS})
  else()
    apc_folder(${target} DEPS ${ARG_DEPS} TEST_DEPS apc_testing)
    target_include_directories(${target} PUBLIC ${PROJECT_SOURCE_DIR}/platform)
  endif()
endfunction()

# The device's include directories come before ours, for every target, so
# that a swapped library's headers are the ones compiled against.
foreach(lib media_control utility config_file net_check messaging configurator)
  string(TOUPPER ${lib} upper)
  if(APC_${upper}_INCLUDE_DIR)
    include_directories(BEFORE ${APC_${upper}_INCLUDE_DIR})
  endif()
endforeach()

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
