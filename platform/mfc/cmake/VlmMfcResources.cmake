# vlm_mfc_resources(<target> RC <file.rc> HEADER <resource.h> [FILES <file>...])
#
# Embeds a program's resource script, its resource.h and the files the
# script names (icons) into <target>; the framework reads them at run time
# as the resource compiler would have. Files are known by their path
# relative to the script's folder. For a library target the resources are
# linked into every program that links the library.
function(vlm_mfc_resources target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "RC;HEADER" "FILES")
  if(NOT arg_RC OR NOT arg_HEADER)
    message(FATAL_ERROR "vlm_mfc_resources(${target}): RC and HEADER are required")
  endif()
  get_filename_component(rc "${arg_RC}" ABSOLUTE)
  get_filename_component(rc_dir "${rc}" DIRECTORY)
  set(files "")
  set(names "")
  foreach(f "${rc}" ${arg_HEADER} ${arg_FILES})
    get_filename_component(abs "${f}" ABSOLUTE)
    file(RELATIVE_PATH rel "${rc_dir}" "${abs}")
    if(rel MATCHES "^\\.\\.")
      get_filename_component(rel "${abs}" NAME)
    endif()
    list(APPEND files "${abs}")
    list(APPEND names "${rel}")
  endforeach()
  set(out "${CMAKE_CURRENT_BINARY_DIR}/${target}_mfc_resources.cpp")
  set(script "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/embed.cmake")
  add_custom_command(OUTPUT "${out}"
    COMMAND ${CMAKE_COMMAND} "-DOUTPUT=${out}" "-DNAMES=${names}" "-DFILES=${files}" -DKIND=module -P "${script}"
    DEPENDS ${files} "${script}"
    COMMENT "Embedding the resources of ${target}"
    VERBATIM)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    target_sources(${target} PRIVATE "${out}")
  else()
    # A static library would drop an object nothing refers to, so the
    # resources travel as an object file linked into each program.
    add_library(${target}_mfcres OBJECT "${out}")
    target_link_libraries(${target}_mfcres PRIVATE vlmmfc)
    target_link_libraries(${target} INTERFACE $<TARGET_OBJECTS:${target}_mfcres>)
    add_dependencies(${target} ${target}_mfcres)
  endif()
endfunction()
