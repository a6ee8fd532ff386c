# The real program: install.exe for Windows 95 and NT, plus the Win32 test
# programs that the Wine scenarios need.
#
# install.exe links no C runtime and nothing prebuilt of the compiler's:
# its entry point and the few C library functions it uses come from
# windows/ (the runtime library below), everything is compiled for the
# 80386, and it imports only from kernel32, user32 and advapi32.  The link
# writes no time stamp and the build path is mapped away, so two builds of
# the same sources give the same bytes.
enable_language(RC)

add_compile_definitions(WINVER=0x0400 _WIN32_WINNT=0x0400 WIN32_LEAN_AND_MEAN
    __USE_MINGW_ANSI_STDIO=0)
set(WIN32_LINK_FLAGS
    -static -static-libgcc -static-libstdc++ -s
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

set(RUNTIME_OPTIONS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-stack-protector -ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
# The entry point is in the runtime library; naming it pulls it in.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    list(APPEND RUNTIME_OPTIONS -march=i386)
    set(RUNTIME_ENTRY _WinMainCRTStartup)
else()
    set(RUNTIME_ENTRY WinMainCRTStartup)
endif()

set(RUNTIME_LINK_OPTIONS -nostdlib -nostartfiles -s -Wl,--entry,${RUNTIME_ENTRY}
    -Wl,--no-insert-timestamp -Wl,--enable-reloc-section
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

# The program's C library: entry point, text files, formatting, strings.
add_library(runtime STATIC
    windows/entry.cpp windows/args.cpp windows/format.cpp windows/snprintf.cpp
    windows/textfile.cpp windows/strings.cpp windows/strtol.cpp windows/environment.cpp
    windows/guard.cpp)
target_include_directories(runtime PUBLIC windows)
target_compile_options(runtime PRIVATE ${RUNTIME_OPTIONS} ${PROGRAM_WARNINGS}
    -fno-builtin -fno-tree-loop-distribute-patterns)

# "install" is a reserved target name: the target is install_exe, the file
# install.exe.
add_executable(install_exe WIN32 ${PROGRAM_SOURCES} resources/install.rc)
# What the resource script takes in, so that a change to them relinks.
set_source_files_properties(resources/install.rc PROPERTIES OBJECT_DEPENDS
    "${CMAKE_SOURCE_DIR}/resources/install.ico;${CMAKE_SOURCE_DIR}/resources/install.manifest")
set_target_properties(install_exe PROPERTIES OUTPUT_NAME install)
target_include_directories(install_exe PRIVATE install)
target_compile_options(install_exe PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${RUNTIME_OPTIONS} ${PROGRAM_WARNINGS}>)
target_link_options(install_exe PRIVATE ${RUNTIME_LINK_OPTIONS})
target_link_libraries(install_exe PRIVATE runtime kernel32 user32 advapi32)

foreach(dir testprogs wine tests/wine)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
