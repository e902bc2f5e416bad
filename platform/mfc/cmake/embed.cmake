# Writes a C++ source that embeds files as byte arrays, each under a name.
#   cmake -DOUTPUT=<file.cpp> -DNAMES=<n1;n2..> -DFILES=<f1;f2..> -DKIND=module|system -P embed.cmake
# KIND=module registers the files as a program's resources (the first is the
# resource script); KIND=system defines the framework's own headers that
# resource scripts may include.
set(out "// Generated from the files named below by embed.cmake; do not edit.\n")
string(APPEND out "#include <vlm/mfc/resource_module.h>\n\nnamespace {\n\n")
list(LENGTH FILES count)
math(EXPR last "${count} - 1")
set(entries "")
foreach(i RANGE ${last})
  list(GET FILES ${i} file)
  list(GET NAMES ${i} name)
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  # One line per 32 bytes keeps the source readable in an editor.
  string(REGEX REPLACE "((0x..,){32})" "\\1\n" bytes "${bytes}")
  string(APPEND out "// ${name}\nconst unsigned char file${i}[] = {\n${bytes}0};\n\n")
  string(APPEND entries "    {\"${name}\", file${i}, ${size}},\n")
endforeach()
string(APPEND out "const vlm::mfc::EmbeddedFile files[] = {\n${entries}};\n\n")
if(KIND STREQUAL "module")
  string(APPEND out "const vlm::mfc::ResourceModule module(files, sizeof files / sizeof files[0]);\n\n}  // namespace\n")
else()
  string(APPEND out "}  // namespace\n\nnamespace vlm::mfc::detail {\n\n")
  string(APPEND out "std::span<const EmbeddedFile> SystemHeaders()\n{\n    return files;\n}\n\n}  // namespace vlm::mfc::detail\n")
endif()
# Only a changed source is written, so that an unchanged one is not rebuilt.
file(WRITE "${OUTPUT}.tmp" "${out}")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
