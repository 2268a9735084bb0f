// The commands of `iotcloud`. Each sets the library up as a host application
// does (default platform, start-up configuration, runtime) for one command.
#pragma once

#include "cli/Options.h"

namespace iotcloud {
namespace cli {

// Runs the command in options.words; returns its exit code. Throws
// UsageError for a command line it cannot run.
int Run(const Options& options);

}  // namespace cli
}  // namespace iotcloud
