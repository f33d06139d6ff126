#pragma once

#include <optional>
#include <string>
#include <string_view>

// The process's current directory (any length); "." when it cannot be told.
std::string CurrentDirectory();

// Finds the pack file `name` (as written in a plan: backslashes are path
// separators) under `directory` as Windows would: the exact name first, else
// each path component matched without regard to case, the plan's Windows-1252
// name also matching a UTF-8 name on disk. Returns the path of the file found.
std::optional<std::string> FindPackFile(const std::string& directory, std::string_view name);
