# The product: wrapper.exe, a GUI program without a C runtime that imports
# only system DLLs.
enable_language(RC)

set(WRAPPER_KIT_DIR "${CMAKE_BINARY_DIR}/kit" CACHE PATH "Folder with the package and the eight cabinets to embed")
option(WRAPPER_BUILD_KIT "Build the sample kit into WRAPPER_KIT_DIR" ON)
option(WRAPPER_FULL_SIZE_KIT "Build the sample kit at its full size" OFF)
set(WRAPPER_OMIT_RESOURCES "" CACHE STRING "Payload resource types left out (builds made for tests)")

# What differs between the editions: the processor decides the entry symbol,
# the oldest system it declares (XP is 5.1; the first x64 systems are 5.2;
# Windows 10 on Arm starts images of 6.2), the manifest's processor, ASLR's
# range, the system libraries linked and what stands in for a compiler runtime.
# The system version equals the subsystem version and stays at 6.2 or below:
# from 6.3 on Windows shows an image without a compatibility manifest its true
# version instead of 6.2, and the staging folder would follow that version.
set(WRAPPER_SYSTEM_LIBRARIES kernel32 advapi32)
# The largest payload (package and cabinets together) an edition starts with.
# Windows maps the image in one piece and takes no image of 2 GB or more; on
# 64-bit Windows 7 images of about 1.8 GB were reported as the largest that
# start, 32-bit or 64-bit alike (a 32-bit one must fit below 2 GiB beside the
# system's libraries, large-address-aware or not). Wine 8 starts the 32-bit
# edition up to an image of 1996 MiB (its loader sits at 0x7d000000) and the
# x64 edition far beyond. So every edition has one limit, 1600 MiB, with a
# margin: measured in docs/benchmarks.md ("Payload limits").
set(WRAPPER_DEFAULT_PAYLOAD_LIMIT 1677721600)
set(WRAPPER_PAYLOAD_INSTEAD "No edition carries more: make the kit's cabinets smaller or fewer.")
set(WRAPPER_ARCH_SOURCES "")
set(WRAPPER_CHECKSUM_AFTER_LINK OFF)
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(ARM64|arm64|aarch64)$")
  set(WRAPPER_PROCESS_BITS 64)
  set(WRAPPER_ENTRY_SYMBOL WrapperStartup)
  set(WRAPPER_SUBSYSTEM_VERSION 6.02)
  set(WRAPPER_MANIFEST_ARCH arm64)
  # lld differs from ld: it sets the Terminal Server flag (ld does not),
  # reserves 1 MiB of stack (ld 2 MiB) and writes no header checksum.
  set(WRAPPER_ARCH_LINK_OPTIONS -Wl,--high-entropy-va -Wl,--disable-tsaware -Wl,--stack,0x200000)
  set(WRAPPER_CHECKSUM_AFTER_LINK ON)
  set(WRAPPER_EDITION_NAME "the arm64 edition")
  # No compiler runtime for arm64 here: the stack probe is the program's own,
  # the import libraries are made from cmake/arm64-imports/*.def.
  list(APPEND WRAPPER_ARCH_SOURCES src/platform/win32/chkstk_arm64.S)
  enable_language(ASM)
  include(${PROJECT_SOURCE_DIR}/cmake/arm64-imports.cmake)
  wrapper_import_libraries(WRAPPER_SYSTEM_LIBRARIES kernel32 advapi32)
elseif(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(WRAPPER_PROCESS_BITS 64)
  set(WRAPPER_ENTRY_SYMBOL WrapperStartup)
  set(WRAPPER_SUBSYSTEM_VERSION 5.02)
  set(WRAPPER_MANIFEST_ARCH amd64)
  set(WRAPPER_ARCH_LINK_OPTIONS -Wl,--high-entropy-va)
  set(WRAPPER_EDITION_NAME "the x64 edition")
  # libgcc: helpers such as ___chkstk_ms.
  list(APPEND WRAPPER_SYSTEM_LIBRARIES gcc)
else()
  set(WRAPPER_PROCESS_BITS 32)
  set(WRAPPER_ENTRY_SYMBOL _WrapperStartup)
  set(WRAPPER_SUBSYSTEM_VERSION 5.01)
  set(WRAPPER_MANIFEST_ARCH X86)
  # Large-address-aware: on 64-bit Windows (and x86 emulation on Arm) the
  # process gets 4 GiB, so what the image leaves free below 2 GiB is not all
  # the system has for its heaps, stacks and libraries. The code holds every
  # address and size unsigned, so addresses above 2 GiB are safe.
  set(WRAPPER_ARCH_LINK_OPTIONS -Wl,--large-address-aware)
  set(WRAPPER_EDITION_NAME "the 32-bit edition")
  list(APPEND WRAPPER_SYSTEM_LIBRARIES gcc)
endif()
# A build that would not start is refused (cmake/payload_limit.py);
# WRAPPER_PAYLOAD_LIMIT raises or lowers the edition's limit on purpose.
set(WRAPPER_EDITION_PAYLOAD_LIMIT ${WRAPPER_DEFAULT_PAYLOAD_LIMIT})
set(WRAPPER_PAYLOAD_LIMIT "" CACHE STRING "Largest payload in bytes the build accepts (empty: the edition's own limit)")
if(NOT WRAPPER_PAYLOAD_LIMIT STREQUAL "")
  if(NOT WRAPPER_PAYLOAD_LIMIT MATCHES "^[0-9]+$")
    message(FATAL_ERROR "WRAPPER_PAYLOAD_LIMIT must be a number of bytes, not \"${WRAPPER_PAYLOAD_LIMIT}\"")
  endif()
  set(WRAPPER_EDITION_PAYLOAD_LIMIT ${WRAPPER_PAYLOAD_LIMIT})
endif()
string(REPLACE "." ";" subsystem_parts ${WRAPPER_SUBSYSTEM_VERSION})
list(GET subsystem_parts 0 WRAPPER_OS_MAJOR)
list(GET subsystem_parts 1 WRAPPER_OS_MINOR)
math(EXPR WRAPPER_OS_MINOR "${WRAPPER_OS_MINOR}")

set(generated ${CMAKE_BINARY_DIR}/generated)
wrapper_configure_constants(${generated} "${WRAPPER_PRODUCT_TAG}" "${WRAPPER_ARCH_TAG}" ${WRAPPER_PROCESS_BITS})
configure_file(${PROJECT_SOURCE_DIR}/resources/manifest.xml.in ${generated}/manifest.xml @ONLY)

# The version information: the four version parts, the names Windows shows.
set(WRAPPER_PRODUCT_NAME "Tarsk Kit ${WRAPPER_PRODUCT_VERSION}" CACHE STRING "Product name in the version information")
set(WRAPPER_COMPANY_NAME "TarskSoft" CACHE STRING "Company name in the version information")
set(WRAPPER_FILE_DESCRIPTION "${WRAPPER_PRODUCT_NAME} Setup")
string(REPLACE ";" "," WRAPPER_VERSION_COMMAS "${WRAPPER_VERSION_PARTS}")
string(REPLACE ";" "." WRAPPER_VERSION_DOTS "${WRAPPER_VERSION_PARTS}")
configure_file(${PROJECT_SOURCE_DIR}/resources/version.rc.in ${generated}/version.rc @ONLY)

include(${PROJECT_SOURCE_DIR}/cmake/signing.cmake)

# The sample kit's package is built for the architecture the tag names.
string(TOLOWER "${WRAPPER_ARCH_TAG}" arch_tag_lower)
if(arch_tag_lower STREQUAL "amd64")
  set(WRAPPER_KIT_ARCH amd64)
elseif(arch_tag_lower STREQUAL "arm64")
  set(WRAPPER_KIT_ARCH arm64)
else()
  set(WRAPPER_KIT_ARCH i586)
endif()

set(WRAPPER_CABINETS sd160130 ss160130 st160130 sj160130 sp160130 sz160130 sb160130 sr160130)
set(kit_package tpz1.6.0_13.msi)
list(TRANSFORM WRAPPER_CABINETS APPEND .cab OUTPUT_VARIABLE kit_cabinet_files)
list(TRANSFORM kit_cabinet_files PREPEND ${WRAPPER_KIT_DIR}/ OUTPUT_VARIABLE kit_outputs)
list(PREPEND kit_outputs ${WRAPPER_KIT_DIR}/${kit_package})

if(WRAPPER_BUILD_KIT)
  set(kit_size_flag "")
  if(WRAPPER_FULL_SIZE_KIT)
    set(kit_size_flag "--full-size")
  endif()
  file(GLOB_RECURSE kit_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/resources/kit/*)
  if(WRAPPER_KIT_ARCH STREQUAL "arm64")
    file(GLOB arm64_import_defs CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/arm64-imports/*.def)
    list(APPEND kit_sources ${arm64_import_defs})
  endif()
  add_custom_command(
    OUTPUT ${kit_outputs}
    COMMAND bash ${PROJECT_SOURCE_DIR}/resources/kit/build.sh ${WRAPPER_KIT_DIR} --arch ${WRAPPER_KIT_ARCH} ${kit_size_flag}
    DEPENDS ${kit_sources}
    COMMENT "Building the sample kit"
    VERBATIM)
endif()

# What is embedded: the kit as it is, or its signed copy in the build folder
# (cabinets signed, their signatures recorded in the package, the package
# signed); WRAPPER_KIT_DIR is never written to by the signing.
set(embedded_kit_dir ${WRAPPER_KIT_DIR})
set(embedded_outputs ${kit_outputs})
if(WRAPPER_SIGNING AND WRAPPER_SIGN_KIT)
  set(embedded_kit_dir ${CMAKE_BINARY_DIR}/kit-signed)
  list(TRANSFORM kit_cabinet_files PREPEND ${embedded_kit_dir}/ OUTPUT_VARIABLE embedded_outputs)
  list(PREPEND embedded_outputs ${embedded_kit_dir}/${kit_package})
  add_custom_command(
    OUTPUT ${embedded_outputs}
    COMMAND ${sign_tool} kit ${WRAPPER_KIT_DIR} ${embedded_kit_dir} --package ${kit_package}
            --cabinets ${kit_cabinet_files} --description ${WRAPPER_PRODUCT_NAME} ${sign_options}
    DEPENDS ${kit_outputs} ${sign_inputs}
    COMMENT "Signing the cabinets and the package"
    VERBATIM)
endif()
# The folder whose files wrapper.exe carries, for the tests.
set(WRAPPER_EMBEDDED_KIT_DIR ${embedded_kit_dir} CACHE INTERNAL "Folder of the embedded package and cabinets")
add_custom_target(kit DEPENDS ${embedded_outputs})

# The payload resources: one line per resource, so a test build can leave one out.
set(payload_lines "")
macro(wrapper_payload type id file)
  if(NOT "${type}" IN_LIST WRAPPER_OMIT_RESOURCES)
    string(APPEND payload_lines "${id} ${type} \"${file}\"\n")
  endif()
endmacro()
wrapper_payload(TARSK_INSTALLER 101 ${embedded_kit_dir}/${kit_package})
wrapper_payload(TARSK_CAB6 107 ${embedded_kit_dir}/sd160130.cab)
wrapper_payload(TARSK_CAB7 108 ${embedded_kit_dir}/sj160130.cab)
wrapper_payload(TARSK_CAB8 109 ${embedded_kit_dir}/sp160130.cab)
wrapper_payload(TARSK_CAB9 110 ${embedded_kit_dir}/ss160130.cab)
wrapper_payload(TARSK_CAB10 111 ${embedded_kit_dir}/st160130.cab)
wrapper_payload(TARSK_CAB11 112 ${embedded_kit_dir}/sz160130.cab)
wrapper_payload(TARSK_CAB12 113 ${embedded_kit_dir}/sb160130.cab)
wrapper_payload(TARSK_CAB13 114 ${embedded_kit_dir}/sr160130.cab)
file(CONFIGURE OUTPUT ${generated}/payload.rc CONTENT
"// Generated: the embedded package and cabinets.
LANGUAGE 9, 1
${payload_lines}")

# The engine messages are kept readable in UTF-8 and compiled from escapes.
add_custom_command(
  OUTPUT ${generated}/strings.escaped.rc
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/resources/escape_rc.py ${PROJECT_SOURCE_DIR}/resources/strings.rc ${generated}/strings.escaped.rc
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/strings.rc ${PROJECT_SOURCE_DIR}/resources/escape_rc.py
  VERBATIM)

# The icon is drawn by a script at build time.
add_custom_command(
  OUTPUT ${generated}/wrapper.ico
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/resources/icon/make_icon.py ${generated}/wrapper.ico
  DEPENDS ${PROJECT_SOURCE_DIR}/resources/icon/make_icon.py
  COMMENT "Drawing the application icon"
  VERBATIM)

add_executable(wrapper WIN32
  ${WRAPPER_CORE_SOURCES}
  src/launcher/main.cpp
  src/platform/win32/platform_win32.cpp
  src/platform/win32/user_interface.cpp
  src/platform/win32/startup.cpp
  src/platform/win32/builtins.cpp
  ${WRAPPER_ARCH_SOURCES}
  resources/wrapper.rc
  ${generated}/payload.rc)
set_source_files_properties(resources/wrapper.rc PROPERTIES
  OBJECT_DEPENDS "${generated}/wrapper.ico;${generated}/strings.escaped.rc;${generated}/manifest.xml;${generated}/version.rc")
add_custom_command(
  OUTPUT ${generated}/payload-size.txt
  COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/cmake/payload_limit.py
          --edition ${WRAPPER_EDITION_NAME} --limit ${WRAPPER_EDITION_PAYLOAD_LIMIT}
          --instead ${WRAPPER_PAYLOAD_INSTEAD} --stamp ${generated}/payload-size.txt ${embedded_outputs}
  DEPENDS ${embedded_outputs} ${PROJECT_SOURCE_DIR}/cmake/payload_limit.py
  COMMENT "Checking the payload's size"
  VERBATIM)
set_source_files_properties(${generated}/payload.rc PROPERTIES
  OBJECT_DEPENDS "${embedded_outputs};${generated}/payload-size.txt")
target_include_directories(wrapper PRIVATE src ${generated})
set_target_properties(wrapper PROPERTIES OUTPUT_NAME wrapper RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
target_compile_options(wrapper PRIVATE
  $<$<COMPILE_LANGUAGE:CXX>:-std=c++17 -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
  -fno-unwind-tables -fno-ident -ffunction-sections -fdata-sections
  $<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>
  -Wall -Wextra -Werror>)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${PROJECT_SOURCE_DIR}/resources -I${generated}")
target_link_options(wrapper PRIVATE
  -nostdlib -nostartfiles -static -s
  -Wl,-e,${WRAPPER_ENTRY_SYMBOL}
  -Wl,--gc-sections
  -Wl,--dynamicbase -Wl,--nxcompat ${WRAPPER_ARCH_LINK_OPTIONS}
  -Wl,--subsystem,windows:${WRAPPER_SUBSYSTEM_VERSION}
  -Wl,--major-os-version,${WRAPPER_OS_MAJOR} -Wl,--minor-os-version,${WRAPPER_OS_MINOR}
  -Wl,--no-insert-timestamp
  -Wl,--file-alignment,4096 -Wl,--section-alignment,4096)
target_link_libraries(wrapper PRIVATE ${WRAPPER_SYSTEM_LIBRARIES})
if(TARGET wrapper_arm64_imports)
  add_dependencies(wrapper wrapper_arm64_imports)
endif()
if(WRAPPER_CHECKSUM_AFTER_LINK)
  # Before any signing: the signature covers the header.
  add_custom_command(TARGET wrapper POST_BUILD
    COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/cmake/pe_checksum.py $<TARGET_FILE:wrapper>
    VERBATIM)
endif()
if(WRAPPER_SIGNING)
  # Signed in place once linked; a failed signing leaves no wrapper.exe. The
  # signature is appended after the last section: the sections keep their
  # file offsets. A changed certificate or key links and signs again.
  add_custom_command(TARGET wrapper POST_BUILD
    COMMAND ${sign_tool} file $<TARGET_FILE:wrapper> $<TARGET_FILE:wrapper>
            --description ${WRAPPER_FILE_DESCRIPTION} ${sign_options}
    COMMENT "Signing wrapper.exe"
    VERBATIM)
  set_property(TARGET wrapper APPEND PROPERTY LINK_DEPENDS ${sign_inputs})
endif()

# Small Windows programs of the end-to-end tests, built with the product.
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/e2e/programs/CMakeLists.txt)
  add_subdirectory(tests/e2e/programs)
endif()
