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

# The program, as a library that the runner, the tests and the fuzzers link.
add_library(install_core STATIC ${PROGRAM_SOURCES})
target_include_directories(install_core PUBLIC ${CMAKE_SOURCE_DIR}/install)
# Locals the program leaves uninitialised hold a pattern rather than
# whatever the stack had (often zero), so the tests see such a fault.
target_compile_options(install_core PRIVATE ${PROGRAM_WARNINGS} -ftrivial-auto-var-init=pattern)
target_link_libraries(install_core PUBLIC standin)

# The Windows runtime's portable pieces (formatter, argument text), for
# their tests; the rest of that runtime exists only in the Windows builds.
add_library(runtime_portable STATIC ${CMAKE_SOURCE_DIR}/windows/format.cpp
    ${CMAKE_SOURCE_DIR}/windows/args.cpp)
target_include_directories(runtime_portable PUBLIC ${CMAKE_SOURCE_DIR}/windows)
target_compile_options(runtime_portable PRIVATE ${PROGRAM_WARNINGS})

foreach(dir testprogs hostrun tests/unit fuzz bench)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
