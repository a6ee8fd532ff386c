# Native Linux build of the same program sources against the Win32
# stand-in, with the unit tests, the scenario runner and the fuzzers.
option(INSTALL_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(INSTALL_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
endif()
add_compile_options(-g)

enable_testing()
add_subdirectory(standin)

# The program's own C runtime (windows/), as install.exe has it, over the
# stand-in's kernel32 instead of Windows'.  The program and the runtime are
# compiled with INSTALL_OWN_RUNTIME (they see the runtime's declarations,
# not the system's) and without built-ins (every call reaches the
# runtime's code); then the runtime's functions get names of their own in
# the archives (runtime-names.txt), so that the program calls them while
# the stand-in, the tests and the system keep the system's C library.
set(RUNTIME_NATIVE_SOURCES args.cpp format.cpp snprintf.cpp textfile.cpp strings.cpp strtol.cpp
    environment.cpp)
list(TRANSFORM RUNTIME_NATIVE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/windows/)
set(RUNTIME_NAMES ${CMAKE_SOURCE_DIR}/cmake/runtime-names.txt)
set(OWN_RUNTIME_OPTIONS -fno-builtin $<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>)
function(use_own_runtime target)
    target_compile_definitions(${target} PRIVATE INSTALL_OWN_RUNTIME)
    target_compile_options(${target} PRIVATE ${OWN_RUNTIME_OPTIONS})
    add_custom_command(TARGET ${target} POST_BUILD
        COMMAND ${CMAKE_OBJCOPY} --redefine-syms=${RUNTIME_NAMES} $<TARGET_FILE:${target}>
        VERBATIM)
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${RUNTIME_NAMES})
endfunction()

add_library(runtime STATIC ${RUNTIME_NATIVE_SOURCES})
target_include_directories(runtime PUBLIC ${CMAKE_SOURCE_DIR}/windows)
target_compile_options(runtime PRIVATE ${PROGRAM_WARNINGS})
target_link_libraries(runtime PUBLIC standin)
use_own_runtime(runtime)

# The program, as a library that the runner, the tests and the fuzzers link.
add_library(install_core STATIC ${PROGRAM_SOURCES})
target_include_directories(install_core PUBLIC ${CMAKE_SOURCE_DIR}/install)
# Locals the program leaves uninitialised hold a pattern rather than
# whatever the stack had (often zero), so the tests see such a fault.
target_compile_options(install_core PRIVATE ${PROGRAM_WARNINGS} -ftrivial-auto-var-init=pattern)
target_link_libraries(install_core PUBLIC runtime standin)
use_own_runtime(install_core)

foreach(dir testprogs hostrun tests/unit fuzz bench)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
