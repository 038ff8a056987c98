# nlohmann-json, Debian's package, for both builds. The cross-build can't use
# the package's target as it stands: it names /usr/include, whose C headers
# would shadow mingw's. There the library's own headers (it is header-only)
# are copied into the build tree and used from there.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(nlohmann_json 3 REQUIRED)
  return()
endif()
find_path(QX_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
          NO_CMAKE_FIND_ROOT_PATH)
if(NOT QX_NLOHMANN_JSON_INCLUDE)
  message(FATAL_ERROR "nlohmann/json.hpp not found in /usr/include (Debian: nlohmann-json3-dev)")
endif()
set(QX_NLOHMANN_COPY ${PROJECT_BINARY_DIR}/third_party/include)
file(COPY ${QX_NLOHMANN_JSON_INCLUDE}/nlohmann DESTINATION ${QX_NLOHMANN_COPY})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${QX_NLOHMANN_COPY})
