// Shared by the model file and checkpoint readers (not installed: it brings in the TOML parser).
#pragma once

#include <toml++/toml.h>

#include <string>

#include "rope/rope_parameters.hpp"

// "SOURCE:LINE:COLUMN: ", the start of a message about something at `region`.
std::string where(const std::string& source, const toml::source_region& region);

// Every key of `table` as a rope parameter. False with a message naming the place and the key.
bool read_parameter_table(const toml::table& table, const std::string& source,
                          RopeParameters& parameters, std::string& error);
