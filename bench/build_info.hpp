// What produced a figure: the build's own facts, recorded when it was
// configured, and OpenBLAS's account of itself, asked at run time.
#pragma once

#include <string>
#include <utility>
#include <vector>

// Name and value pairs, in a fixed order: project_version, build_type,
// compiler, kernel_flags, openblas_version, openblas_config,
// openblas_core, openblas_threads.
std::vector<std::pair<std::string, std::string>> build_facts();

// `text` as a JSON string literal, quotes included.
std::string json_string(const std::string& text);
