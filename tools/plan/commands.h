#pragma once

#include <string>

// Exit statuses of vorlane-plan.
inline constexpr int kExitAccepted = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

// Writes the check value into the plan `file` in place (through a temporary
// file renamed over it, so the plan is never left half-written).
int SignPlan(const std::string& file);

// Runs the loader's start-up checks on `directory`/Vorlane.ini with
// `directory` as the current directory: existence, integrity, plan reading.
// Prints the loader's message, or a summary of the accepted plan.
int CheckPlan(const std::string& directory);
