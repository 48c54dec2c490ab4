# recbase.dll: named as Windows programs load it, with the exports that
# recbase.def lists and the import library that callers link. The C++
# runtime is linked in (-static, top level), so the DLL needs nothing
# beside the system's own DLLs. The internal static library, which the
# tests link, takes the multimedia timer and the window's user-interface
# and graphics libraries too, and no import markings.
set_target_properties(recbase PROPERTIES PREFIX "")
target_link_libraries(recbase PRIVATE winmm user32 gdi32)
target_link_libraries(recbase_internal PUBLIC winmm user32 gdi32)
target_compile_definitions(recbase_internal INTERFACE RECBASE_STATIC)

set(RECBASE_DEF ${PROJECT_SOURCE_DIR}/recbase.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${RECBASE_DEF})
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # 32 bits: the export table without the @N of the calling convention
  # (--kill-at), and an import library made by dlltool from the decorated
  # names (-k), replacing the linker's, whose symbols would lack the @N that
  # callers' compilers emit.
  target_sources(recbase PRIVATE ${RECBASE_DEF})
  target_link_options(recbase PRIVATE -Wl,--kill-at)
  find_program(RECBASE_DLLTOOL NAMES ${CMAKE_C_COMPILER_TARGET}-dlltool
               i686-w64-mingw32-dlltool dlltool REQUIRED)
  add_custom_command(TARGET recbase POST_BUILD
    COMMAND ${RECBASE_DLLTOOL} -k --def ${RECBASE_DEF} --dllname recbase.dll
            --output-lib $<TARGET_LINKER_FILE:recbase>
    COMMENT "Import library of recbase.dll from recbase.def"
    VERBATIM)
else()
  # 64 bits: one calling convention, so no @N and no convention in the
  # class's mangled names.
  file(READ ${RECBASE_DEF} def)
  string(REGEX REPLACE "@[0-9]+" "" def "${def}")
  string(REPLACE "U7stdcall" "" def "${def}")
  file(WRITE ${PROJECT_BINARY_DIR}/recbase.def "${def}")
  target_sources(recbase PRIVATE ${PROJECT_BINARY_DIR}/recbase.def)
endif()
