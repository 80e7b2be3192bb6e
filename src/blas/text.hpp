// Libraries describe themselves in padded strings: " OpenBLAS 0.3.21 ".
#pragma once

#include <string>

// `text` with runs of blanks as one and none at the ends; "" for null.
std::string squeezed(const char* text);
