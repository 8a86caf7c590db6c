// Shared by the model file and checkpoint readers (not installed: it brings in the TOML parser).
#pragma once

#include <toml++/toml.h>

#include <string>

#include "rope/model_file.hpp"
#include "rope/rope_parameters.hpp"

// "SOURCE:LINE:COLUMN: ", the start of a message about something at `region`.
std::string where(const std::string& source, const toml::source_region& region);

// Every key of `table` as a rope parameter, and with `run` (a model file's table) the run settings
// too. False with a message naming the place and the key.
bool read_parameter_table(const toml::table& table, const std::string& source,
                          RopeParameters& parameters, std::string& error,
                          ModelRunChoice* run = nullptr);
