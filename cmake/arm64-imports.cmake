# Import libraries for arm64, made at build time from the .def files in
# cmake/arm64-imports (the functions the program and the kit's custom action
# DLL call) with llvm-dlltool.
find_program(WRAPPER_LLVM_DLLTOOL NAMES llvm-dlltool PATHS /usr/lib/llvm-14/bin REQUIRED)

# Sets OUT to the paths of the import libraries of the named DLLs and makes
# them a dependency of the target wrapper_arm64_imports.
function(wrapper_import_libraries out)
  set(libraries "")
  foreach(name ${ARGN})
    set(def ${PROJECT_SOURCE_DIR}/cmake/arm64-imports/${name}.def)
    set(lib ${CMAKE_BINARY_DIR}/arm64-imports/lib${name}.a)
    add_custom_command(
      OUTPUT ${lib}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/arm64-imports
      COMMAND ${WRAPPER_LLVM_DLLTOOL} -m arm64 -d ${def} -l ${lib}
      DEPENDS ${def}
      COMMENT "Making the arm64 import library of ${name}"
      VERBATIM)
    list(APPEND libraries ${lib})
  endforeach()
  add_custom_target(wrapper_arm64_imports DEPENDS ${libraries})
  set(${out} ${libraries} PARENT_SCOPE)
endfunction()
