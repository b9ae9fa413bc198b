# Writes a C++ source that holds the driver bundle's files as they were at build time, so the
# installer can check what it is handed against them and write only those bytes.
#   cmake -DBUNDLE=<Brimolavetrix.driver> -DOUTPUT=<file.cpp> -DFILES=<a;b;c> -P EmbedDeviceFiles.cmake
set(arrays "")
set(entries "")
set(index 0)
foreach(relative IN LISTS FILES)
    file(READ "${BUNDLE}/${relative}" hex HEX)
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
    string(APPEND arrays "constexpr char kFile${index}[] = {${bytes}};\n")
    string(APPEND entries
           "    DeviceFile{\"${relative}\", std::string_view(kFile${index}, sizeof(kFile${index}))},\n")
    math(EXPR index "${index} + 1")
endforeach()
file(WRITE "${OUTPUT}.tmp" "// Generated from the driver bundle by EmbedDeviceFiles.cmake; do not edit.
#include \"driver/installer/DeviceFiles.h\"

#include <array>

namespace brimo::driver::installer {
namespace {
${arrays}
const std::array kFiles{
${entries}};
}  // namespace

std::span<const DeviceFile> builtDeviceFiles() {
    return kFiles;
}

}  // namespace brimo::driver::installer
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.tmp")
