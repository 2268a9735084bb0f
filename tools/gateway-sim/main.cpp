// iotcloud-gateway-sim: runs the local gateway until SIGINT or SIGTERM
// (Windows: until Ctrl+C, Ctrl+Break or the console closes).
//
// The main thread parses the options, starts the gateway (which serves on its
// own threads) and then waits for a stop request (gateway-sim/Os.h); it is
// prepared for before any thread exists, so no handler runs asynchronously.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/BoundedFile.h"
#include "gateway-sim/FaultScript.h"
#include "gateway-sim/GatewaySim.h"
#include "gateway-sim/Os.h"
#include "gateway-sim/RegionTable.h"

namespace {

constexpr const char* kProgram = "iotcloud-gateway-sim";
constexpr int kExitUsage = 2;
// Largest file taken for a region table, a certificate or a key.
constexpr size_t kMaxInputFileBytes = 4 << 20;

const char kUsage[] =
    "Usage: iotcloud-gateway-sim [options]\n"
    "\n"
    "A local HTTPS stand-in for the cloud's API gateway: answers signed region\n"
    "lookups (POST /velmo/account/region/get) from a region table.\n"
    "\n"
    "Options:\n"
    "  --host H            loopback address to bind (default 127.0.0.1)\n"
    "  --port N            port to listen on; 0 picks a free one (default 0)\n"
    "  --tls-dir DIR       generate a CA and server certificate into DIR and write\n"
    "                      DIR/ca.pem for clients to trust (default: a temporary\n"
    "                      folder, removed on exit)\n"
    "  --cert F --key F    serve this certificate and private key (PEM) instead\n"
    "  --app KEY:SECRET    accept requests signed for application KEY with SECRET;\n"
    "                      repeatable (default demo-app-key:demo-app-secret)\n"
    "  --regions FILE      answer from the region table in FILE (JSON, at most\n"
    "                      4 MiB; see tools/gateway-sim/regions.example.json)\n"
    "  --port-file F       write the port to F once listening (removed on exit)\n"
    "  --clock-offset S    run the gateway's clock S seconds ahead of this\n"
    "                      machine's (negative: behind; e.g. 3600 or -900). The\n"
    "                      15-minute date window and every answer's Date header\n"
    "                      use that clock, so a client with a correct clock is\n"
    "                      refused (400, DateOutsideWindow) until it corrects\n"
    "                      its date from the Date header\n"
    "  --quiet             do not log requests to stderr\n"
    "  -h, --help          show this help\n"
    "\n"
    "Faults, for the next lookup requests (POST /velmo/account/region/get; other\n"
    "paths pass them by), applied in the order given, each N from 1 to 10000:\n"
    "  --fail-first N:STATUS[:RETRY_AFTER]\n"
    "                      refuse N lookups with STATUS (400..599), a JSON body,\n"
    "                      X-Ca-Error-Code for the status (429 Throttled,\n"
    "                      503 ServiceUnavailable, 500 InternalError,\n"
    "                      502 BadGateway, 504 GatewayTimeout, 400 BadRequest,\n"
    "                      403 Forbidden, ...) and X-Ca-Error-Message; with\n"
    "                      RETRY_AFTER also a Retry-After header, as given:\n"
    "                      seconds (120) or an HTTP date\n"
    "                      ('Sun, 06 Dec 2026 23:30:00 GMT')\n"
    "  --reset-first N     reset the connection of N lookups without any answer\n"
    "                      (the request is not checked; its nonce stays unused).\n"
    "                      On Windows the connection is shut down instead: a\n"
    "                      client sees it end without an answer (an empty\n"
    "                      reply), then a reset.\n"
    "                      libcurl resends once, on a new connection, a request\n"
    "                      whose reused connection is reset: that resend takes\n"
    "                      the next fault\n"
    "  --stall-first N:MS  hold each of N lookups MS milliseconds (1..600000),\n"
    "                      then answer normally\n"
    "Example: --fail-first 2:503:1 --reset-first 1 answers the first two lookups\n"
    "503 with Retry-After: 1, resets the third, and serves the rest.\n"
    "\n"
    "Prints \"listening on https://HOST:PORT\" and \"ca: FILE\" on stdout once ready.\n"
    "Exits 1 when it cannot listen, for example on a port another server holds.\n"
    "Stops cleanly on SIGINT or SIGTERM (Windows: Ctrl+C, Ctrl+Break, closing\n"
    "the console, or the event Local\\iotcloud-stop-PID being set).\n";

int UsageError(const std::string& message) {
  std::cerr << kProgram << ": " << message << "\n"
            << "Try '" << kProgram << " --help' for usage.\n";
  return kExitUsage;
}

// Writes the file under a temporary name and renames it, so a reader never
// sees it half written.
bool WritePortFile(const std::string& path, int port) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);  // "PORT\n" on every system
    if (!out) return false;
    out << port << "\n";
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

// A signed number of seconds within 100 years: "3600", "+3600", "-900".
bool ParseClockOffset(const std::string& text, int64_t* seconds) {
  const size_t digits = text.empty() || (text[0] != '-' && text[0] != '+') ? 0 : 1;
  if (text.size() <= digits || text.size() - digits > 10) return false;
  int64_t value = 0;
  for (size_t i = digits; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (value > 100LL * 365 * 86400) return false;
  *seconds = text[0] == '-' ? -value : value;
  return true;
}

bool ParsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > 65535) return false;
  *port = value;
  return true;
}

// What the command line asks for.
struct ProgramOptions {
  iotcloud::gateway::GatewayConfig config;
  std::vector<iotcloud::gateway::Fault> faults;  // in the order given
  std::string portFile, regionsFile;
  bool quiet = false;
  bool help = false;
};

// Splits "--name=value" into *option and *value; false when *option holds
// no value.
bool SplitInlineValue(std::string* option, std::string* value) {
  if (option->compare(0, 2, "--") != 0) return false;
  const size_t equals = option->find('=');
  if (equals == std::string::npos) return false;
  *value = option->substr(equals + 1);
  option->resize(equals);
  return true;
}

// Adds the application of "KEY:SECRET"; false when either part is empty.
bool AddApplication(const std::string& text, iotcloud::gateway::GatewayConfig* config) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
  config->applications[text.substr(0, colon)] = text.substr(colon + 1);
  return true;
}

// Reads argv[*i] (and its value, moving *i past it) into *options. False
// with *error, a usage message, when the option is unknown or its value bad.
bool ParseOption(int argc, char** argv, int* i, ProgramOptions* options, std::string* error) {
  iotcloud::gateway::GatewayConfig& config = options->config;
  std::string option = argv[*i];
  std::string value;
  const bool hasInlineValue = SplitInlineValue(&option, &value);
  auto takeValue = [&](std::string* out) {
    if (hasInlineValue) {
      *out = value;
    } else if (*i + 1 < argc) {
      *out = argv[++*i];
    } else {
      *error = "option " + option + " needs a value";
      return false;
    }
    return true;
  };
  auto fail = [error](const std::string& message) {
    *error = message;
    return false;
  };

  if (option == "-h" || option == "--help") {
    options->help = true;
  } else if (option == "--quiet") {
    if (hasInlineValue) return fail("option --quiet takes no value");
    options->quiet = true;
  } else if (option == "--host") {
    if (!takeValue(&config.bindHost)) return false;
    if (!iotcloud::gateway::IsLoopbackHost(config.bindHost)) {
      return fail("--host must be a loopback address (127.0.0.1, localhost or ::1), not '" + config.bindHost + "'");
    }
  } else if (option == "--port") {
    std::string text;
    if (!takeValue(&text)) return false;
    if (!ParsePort(text, &config.port)) return fail("--port needs a number from 0 to 65535, not '" + text + "'");
  } else if (option == "--tls-dir") {
    if (!takeValue(&config.tlsDir)) return false;
    if (config.tlsDir.empty()) return fail("--tls-dir needs a folder");
  } else if (option == "--cert") {
    return takeValue(&config.certFile);
  } else if (option == "--key") {
    return takeValue(&config.keyFile);
  } else if (option == "--app") {
    std::string text;
    if (!takeValue(&text)) return false;
    if (!AddApplication(text, &config)) return fail("--app needs KEY:SECRET, both not empty");
  } else if (option == "--regions") {
    return takeValue(&options->regionsFile);
  } else if (option == "--clock-offset") {
    std::string text;
    if (!takeValue(&text)) return false;
    if (!ParseClockOffset(text, &config.clockOffsetSeconds)) {
      return fail("--clock-offset needs a signed number of seconds within 100 years, not '" + text + "'");
    }
  } else if (option == "--fail-first" || option == "--reset-first" || option == "--stall-first") {
    std::string text;
    if (!takeValue(&text)) return false;
    return iotcloud::gateway::ParseFaultOption(option.substr(2), text, &options->faults, error);
  } else if (option == "--port-file") {
    if (!takeValue(&options->portFile)) return false;
    if (options->portFile.empty()) return fail("--port-file needs a file name");
  } else {
    return fail("unknown option '" + option + "'");
  }
  return true;
}

// Checks the options that go together and reads the files they name (the
// region table into options->config). False with *error, a usage message.
bool CheckOptions(ProgramOptions* options, std::string* error) {
  iotcloud::gateway::GatewayConfig& config = options->config;
  auto fail = [error](const std::string& message) {
    *error = message;
    return false;
  };
  if (config.certFile.empty() != config.keyFile.empty()) return fail("--cert and --key go together");
  if (!config.certFile.empty() && !config.tlsDir.empty()) return fail("--tls-dir cannot be used with --cert/--key");
  for (const std::string* file : {&config.certFile, &config.keyFile}) {
    std::string ignored, reason;
    if (!file->empty() && !iotcloud::tools::ReadBoundedFile(*file, kMaxInputFileBytes, &ignored, &reason)) {
      return fail("cannot read " + *file + ": " + reason);
    }
  }
  if (options->regionsFile.empty()) return true;
  const std::string& file = options->regionsFile;
  std::string reason;
  if (!iotcloud::tools::ReadBoundedFile(file, kMaxInputFileBytes, &config.regionTableJson, &reason)) {
    return fail("cannot read the region table " + file + ": " + reason);
  }
  iotcloud::gateway::RegionTable table;
  if (!iotcloud::gateway::RegionTable::Parse(config.regionTableJson, &table, &reason)) {
    return fail("invalid region table " + file + ": " + reason);
  }
  return true;
}

// Serves until a stop request; returns the exit code.
int Serve(const ProgramOptions& options) {
  iotcloud::gateway::os::PrepareStopRequests();

  iotcloud::gateway::GatewaySim gateway(options.config);
  for (const auto& fault : options.faults) gateway.PushFault(fault);
  std::string error;
  if (!gateway.Start(&error)) {
    std::cerr << kProgram << ": " << error << "\n";
    return 1;
  }
  // The port file first: whoever sees the lines below can rely on it.
  const std::string& portFile = options.portFile;
  if (!portFile.empty() && !WritePortFile(portFile, gateway.port())) {
    std::cerr << kProgram << ": cannot write the port file " << portFile << "\n";
    gateway.Stop();
    return 1;
  }
  std::cout << "listening on https://" << gateway.hostPort() << "\n";
  if (!gateway.caFile().empty()) std::cout << "ca: " << gateway.caFile() << "\n";
  std::cout.flush();

  const std::string request = iotcloud::gateway::os::WaitForStopRequest();
  if (!options.quiet) std::fprintf(stderr, "stopping on %s\n", request.c_str());
  gateway.Stop();
  if (!portFile.empty()) std::remove(portFile.c_str());
  iotcloud::gateway::os::StopFinished();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  ProgramOptions options;
  std::string error;
  for (int i = 1; i < argc; ++i) {
    if (!ParseOption(argc, argv, &i, &options, &error)) return UsageError(error);
    if (options.help) {
      std::cout << kUsage;
      return 0;
    }
  }
  if (!CheckOptions(&options, &error)) return UsageError(error);
  if (!options.quiet) {
    options.config.logLine = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
  }
  return Serve(options);
}
