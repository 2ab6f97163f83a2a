// Integer settings from the environment, for the intervals and limits tests shorten.
#pragma once

#include <optional>

// The value of the environment variable name when it is a whole decimal number within
// [min, max]; none when it is unset or anything else.
std::optional<long long> EnvInteger(const char* name, long long min, long long max);
