#pragma once

// The game executable of an installation: whether it runs, and starting it.

#include <filesystem>

namespace orvek {

// Written into the installation just before the game starts.
inline constexpr wchar_t launch_marker_name[] = L"orvek.launch";

// True when a process named orvek.exe runs from this installation, or when
// such a process cannot be inspected.
bool is_game_running(const std::filesystem::path& installation);

// Leaves the launch marker and starts orvek.exe with "--orvek-updater-launch".
void launch_game(const std::filesystem::path& installation);

}  // namespace orvek
