# The real program: install.exe for Windows 95 and NT, plus the Win32 test
# programs that the Wine scenarios need.
enable_language(RC)

add_compile_definitions(WINVER=0x0400 _WIN32_WINNT=0x0400 WIN32_LEAN_AND_MEAN
    __USE_MINGW_ANSI_STDIO=0)
set(WIN32_LINK_FLAGS
    -static -static-libgcc -static-libstdc++ -s
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

# "install" is a reserved target name: the target is install_exe, the file
# install.exe.
add_executable(install_exe WIN32 ${PROGRAM_SOURCES} resources/install.rc)
set_target_properties(install_exe PROPERTIES OUTPUT_NAME install)
target_include_directories(install_exe PRIVATE install)
target_compile_options(install_exe PRIVATE -Os -fno-exceptions -fno-rtti ${PROGRAM_WARNINGS}
    $<$<COMPILE_LANGUAGE:CXX>:-fno-asynchronous-unwind-tables>)
target_link_options(install_exe PRIVATE ${WIN32_LINK_FLAGS})
target_link_libraries(install_exe PRIVATE kernel32 user32 advapi32)

foreach(dir testprogs wine)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
