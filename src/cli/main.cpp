// Entry point of the orvaldi command-line tool.
#include <cstdio>
#include <exception>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "platform/text.h"

int main(int argc, char** argv) {
  using namespace orvaldi::cli;
  CLI::App app{"orvaldi: read-only data recovery for disks and disk images"};
  app.footer(std::string(kSourceHelp) + "\n" + kExitCodeHelp);
  app.require_subcommand(1);
  int codePage = 936;
  app.add_option("--codepage", codePage, "Code page of 8-bit FAT names and labels")->default_val(936);
  int exitCode = kExitOk;
  AddDisksCommand(app, exitCode);
  AddInfoCommand(app, exitCode);
  AddPartsCommand(app, exitCode);
  AddFindPartsCommand(app, exitCode);
  AddLsCommand(app, exitCode);
  AddFindCommand(app, exitCode);
  AddRecoverCommand(app, exitCode);
  AddVerifyCommand(app, exitCode);
  AddCatCommand(app, exitCode);
  AddHexCommand(app, exitCode);
  AddImageCommand(app, exitCode);
  AddFreeSpaceCommand(app, exitCode);
  AddRawScanCommand(app, exitCode);
  AddPtableCommand(app, exitCode);
  AddRegionCommand(app, exitCode);
  app.parse_complete_callback([&] {
    if (!orvaldi::platform::SetOemCodePage(codePage)) {
      throw CLI::ValidationError("--codepage", "unknown code page " + std::to_string(codePage));
    }
  });
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "orvaldi: internal error: %s\n", e.what());
    return kExitInternal;
  }
  return exitCode;
}
