# nlohmann/json (Debian: nlohmann-json3-dev), header-only, for the companion
# tools' JSON: matmul::json when found. Its headers are copied into the
# build tree, so that a cross build takes them without the host's
# /usr/include, where the host's C library lives too.
find_path(MATMUL_NLOHMANN_JSON_DIR nlohmann/json.hpp NO_CMAKE_FIND_ROOT_PATH)
if(MATMUL_NLOHMANN_JSON_DIR AND NOT TARGET matmul::json)
  set(_matmul_json_include ${CMAKE_BINARY_DIR}/third-party/include)
  file(COPY ${MATMUL_NLOHMANN_JSON_DIR}/nlohmann DESTINATION ${_matmul_json_include})
  add_library(matmul_json INTERFACE)
  add_library(matmul::json ALIAS matmul_json)
  target_include_directories(matmul_json SYSTEM INTERFACE ${_matmul_json_include})
endif()
