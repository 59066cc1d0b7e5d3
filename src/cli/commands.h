// The subcommands of the orvaldi command.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

namespace orvaldi::cli {

// Each registers its subcommand on `app`; the subcommand's callback stores
// its exit code in `exitCode`.
void AddDisksCommand(CLI::App& app, int& exitCode);
void AddInfoCommand(CLI::App& app, int& exitCode);

}  // namespace orvaldi::cli
