# Compiler settings shared by every target of the project.

add_library(tarn_options INTERFACE)
target_compile_options(tarn_options INTERFACE -Wall -Wextra -Werror)

if(WIN32)
  # Wide entry points and Unicode Win32 names; a static runtime, so the
  # executables import only system DLLs.
  target_compile_definitions(tarn_options INTERFACE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                    _WIN32_WINNT=0x0A00)
  target_link_options(tarn_options INTERFACE -static -static-libgcc -static-libstdc++)
endif()

# Adds an executable built from the given sources with the project's settings.
function(tarn_add_executable name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE tarn_options)
endfunction()
