// iotcloud: looks up, shows and clears the cloud region of an account, and
// manages the request language and country, through the iotcloud library.
//
// It is a host application in miniature: it installs the default platform
// (SQLite cache, HMAC-SHA1 signer) with the given key and secret, hands the
// start-up configuration over, starts the runtime, restores the saved region,
// sets an observer and runs one command. Options.h reads the command line,
// Commands.h runs the commands and Output.h prints what they found.

#include <cstdio>
#include <exception>

#include "cli/Commands.h"
#include "cli/Options.h"
#include "cli/Output.h"
#include "core/support/Version.h"

int main(int argc, char** argv) {
  using namespace iotcloud::cli;
  try {
    Options options = ParseCommandLine(argc, argv);
    if (options.version) {
      // The tool's own version, then what it runs with: the library may be
      // another build than the one the tool was compiled against.
      std::printf("iotcloud %s\nlibrary: iotcloud %s, %s\n", IOTCLOUD_VERSION_STRING, iotcloud::Version(),
                  iotcloud::DependencyVersions().c_str());
      return kExitOk;
    }
    if (!options.generate.empty()) {
      std::fputs((options.generate == "--man-page" ? ManPage() : BashCompletion()).c_str(), stdout);
      return kExitOk;
    }
    if (options.help) {
      std::fputs(UsageText(HelpTopic(options.words)).c_str(), stdout);
      return kExitOk;
    }
    return Run(options);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "iotcloud: %s\nTry '%s --help'.\n", Shown(error.what()).c_str(),
                 HelpCommand(error.topic()).c_str());
    return kExitUsage;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "iotcloud: %s\n", Shown(error.what()).c_str());
    return kExitFailure;
  }
}
