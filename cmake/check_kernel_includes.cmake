cmake_minimum_required(VERSION 3.25)

# Fails if code outside platform/nt includes one of the kernel's private
# headers (anything under platform/nt/src). The kernel publishes only
# platform/nt/include (the DDK-named headers); what the user side shares with
# it lives in libraries of its own (platform/ipc, platform/regstore).
#
# Run at configure time by the top-level CMakeLists and again by ctest
# (kernel_private_headers), so an include added after configuring is caught
# by the next test run. Usage: cmake -DVLM_SOURCE_DIR=<tree> -P <this file>
#
# An include counts as the kernel's when its path ends in platform/nt/src/...
# or when it names a header by its place under src/ ("io/iop.h", "kernel.h")
# and no file of that name sits beside the including file.
#
# A kernel test that must reach inside the kernel is listed here by its path
# relative to the tree, one file per entry; today none is.
set(VLM_KERNEL_PRIVATE_ALLOWED "")

if(NOT VLM_SOURCE_DIR)
  message(FATAL_ERROR "check_kernel_includes: VLM_SOURCE_DIR not set")
endif()

set(kernel_src "${VLM_SOURCE_DIR}/platform/nt/src")
file(GLOB_RECURSE kernel_headers RELATIVE "${kernel_src}" "${kernel_src}/*.h")

set(outside host tools config bench tests driver
    platform/win32 platform/mfc platform/ipc platform/regstore)
set(sources "")
foreach(dir ${outside})
  file(GLOB_RECURSE found
    "${VLM_SOURCE_DIR}/${dir}/*.h" "${VLM_SOURCE_DIR}/${dir}/*.hpp"
    "${VLM_SOURCE_DIR}/${dir}/*.cpp" "${VLM_SOURCE_DIR}/${dir}/*.c")
  list(APPEND sources ${found})
endforeach()

set(violations "")
foreach(source ${sources})
  file(RELATIVE_PATH shown "${VLM_SOURCE_DIR}" "${source}")
  if(shown IN_LIST VLM_KERNEL_PRIVATE_ALLOWED)
    continue()
  endif()
  file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[\"<]")
  get_filename_component(here "${source}" DIRECTORY)
  foreach(line ${lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[\"<]([^\">]+)[\">].*$" "\\1" included "${line}")
    set(bad FALSE)
    get_filename_component(resolved "${here}/${included}" ABSOLUTE)
    if(included MATCHES "(^|/)platform/nt/src/" OR resolved MATCHES "^${kernel_src}/")
      set(bad TRUE)
    elseif(included IN_LIST kernel_headers AND NOT EXISTS "${here}/${included}")
      set(bad TRUE)
    endif()
    if(bad)
      list(APPEND violations "${shown}: ${included}")
    endif()
  endforeach()
endforeach()

if(violations)
  list(JOIN violations "\n  " text)
  message(FATAL_ERROR "kernel-private headers included outside platform/nt:\n  ${text}")
endif()
