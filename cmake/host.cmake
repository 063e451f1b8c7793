# Host build: the product's logic against a scripted fake of the platform,
# under AddressSanitizer and UndefinedBehaviorSanitizer, and the fuzz targets.
set(CMAKE_CXX_STANDARD 17)
set(CMAKE_CXX_STANDARD_REQUIRED ON)
option(WRAPPER_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

# The coverage report turns them off: their checks would count as branches of the code.
option(WRAPPER_SANITIZERS "Build the host tests under the sanitizers" ON)
if(WRAPPER_SANITIZERS)
  set(sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
else()
  set(sanitizers)
endif()

# One library of the product's logic per edition: the kit edition on i586 and
# another edition built as the x64 variant (both as in a 32-bit process), and
# the kit edition as the native 64-bit build.
function(wrapper_core_library name tag arch bits)
  set(dir ${CMAKE_BINARY_DIR}/generated/${name})
  wrapper_configure_constants(${dir} "${tag}" "${arch}" ${bits})
  add_library(${name} STATIC ${WRAPPER_CORE_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${dir})
  target_compile_options(${name} PUBLIC ${sanitizers} -Wall -Wextra -Werror)
  target_link_options(${name} PUBLIC ${sanitizers})
endfunction()

if(WRAPPER_FUZZ)
  wrapper_core_library(wrapper_core_fuzz "${WRAPPER_PRODUCT_TAG}" "${WRAPPER_ARCH_TAG}" 32)
  target_compile_options(wrapper_core_fuzz PUBLIC -fsanitize=fuzzer-no-link)
  add_subdirectory(tests/fuzz)
  return()
endif()

enable_testing()
find_package(GTest REQUIRED)
wrapper_core_library(wrapper_core "${WRAPPER_PRODUCT_TAG}" "${WRAPPER_ARCH_TAG}" 32)
wrapper_core_library(wrapper_core_other_edition "tpx" "amd64" 32)
wrapper_core_library(wrapper_core_x64 "${WRAPPER_PRODUCT_TAG}" "amd64" 64)
add_subdirectory(tests/host)
