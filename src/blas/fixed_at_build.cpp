// The facts of a library that cannot describe itself at run time and has
// nothing to choose when it runs (ATLAS, the reference BLAS): compiled into
// each such binding, beside its own file.
#include "blas/library.hpp"

// The build reads the version off the library's file name.
std::string library_version() {
  return MATMUL_LIBRARY_VERSION;
}
std::string library_config() {
  return "";
}
// Its kernels are fixed when it is built: no variable selects others.
const char* library_kernel_variable() {
  return "";
}
std::string library_kernel_choices() {
  return "";
}
// Debian's builds are serial; only a rebuild changes that.
int library_threads() {
  return 1;
}
const char* library_thread_variables() {
  return "";
}
