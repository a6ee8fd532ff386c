# The real program: install.exe for Windows 95 and NT, plus the Win32 test
# programs that the Wine scenarios need.
enable_language(RC)

add_compile_definitions(WINVER=0x0400 _WIN32_WINNT=0x0400 WIN32_LEAN_AND_MEAN)
set(WIN32_LINK_FLAGS
    -static -static-libgcc -static-libstdc++ -s
    -Wl,--major-subsystem-version,4 -Wl,--minor-subsystem-version,0
    -Wl,--major-os-version,4 -Wl,--minor-os-version,0)

add_executable(install WIN32 ${PROGRAM_SOURCES} resources/install.rc)
target_include_directories(install PRIVATE install)
target_compile_options(install PRIVATE -Os -fno-exceptions -fno-rtti ${PROGRAM_WARNINGS}
    $<$<COMPILE_LANGUAGE:CXX>:-fno-asynchronous-unwind-tables>)
target_link_options(install PRIVATE ${WIN32_LINK_FLAGS})
target_link_libraries(install PRIVATE kernel32 user32 advapi32)

foreach(dir testprogs wine)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()
