# SPDX-License-Identifier: MIT
# Common compile settings and the version record every executable carries.

add_library(zemb_options INTERFACE)
target_compile_options(zemb_options INTERFACE -Wall -Wextra)
if(ZEMB_WERROR)
    target_compile_options(zemb_options INTERFACE -Werror)
endif()
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
    # g++ 12 warns about std::string concatenation at -O2 and above (its bug 105329).
    target_compile_options(zemb_options INTERFACE -Wno-restrict)
endif()
if(ZEMB_SANITIZE)
    target_compile_options(zemb_options INTERFACE -fsanitize=address,undefined
                                                  -fno-sanitize-recover=undefined
                                                  -fno-omit-frame-pointer)
    target_link_options(zemb_options INTERFACE -fsanitize=address,undefined)
endif()
if(ZEMB_SANITIZE_THREAD)
    # The device workers are the one place where threads meet; this build checks their hand-over.
    target_compile_options(zemb_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_link_options(zemb_options INTERFACE -fsanitize=thread)
endif()

if(ZEMB_BUILD_FUZZERS)
    # Coverage instrumentation for every library, so the fuzzers see into the code they drive.
    target_compile_options(zemb_options INTERFACE -fsanitize=fuzzer-no-link,address,undefined
                                                  -fno-omit-frame-pointer)
    target_link_options(zemb_options INTERFACE -fsanitize=address,undefined)
endif()

set(ZEMB_VERSION_FLAGS 0)
if(ZEMB_PRIVATE_BUILD)
    math(EXPR ZEMB_VERSION_FLAGS "${ZEMB_VERSION_FLAGS} | 0x08")
endif()
if(ZEMB_PRERELEASE)
    math(EXPR ZEMB_VERSION_FLAGS "${ZEMB_VERSION_FLAGS} | 0x02")
endif()
if(ZEMB_SPECIAL_BUILD)
    math(EXPR ZEMB_VERSION_FLAGS "${ZEMB_VERSION_FLAGS} | 0x20")
endif()
set(ZEMB_VERSION_RECORD_SOURCE ${CMAKE_CURRENT_LIST_DIR}/VersionRecord.cpp.in)

# zemb_executable(NAME sources...): an executable of the project, with its version record.
function(zemb_executable name)
    set(record ${CMAKE_CURRENT_BINARY_DIR}/${name}_VersionRecord.cpp)
    configure_file(${ZEMB_VERSION_RECORD_SOURCE} ${record} @ONLY)
    add_executable(${name} ${ARGN} ${record})
    target_link_libraries(${name} PRIVATE zemb_options)
    target_compile_definitions(${name} PRIVATE $<$<CONFIG:Debug>:ZEMB_VERSION_DEBUG=1>)
endfunction()
