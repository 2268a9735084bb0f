// The command line of `iotcloud`: what it may hold, how it is read, and the
// help texts. Every option is one row of a table (Options.cpp) that both the
// parser and --help read.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace iotcloud {
namespace cli {

// Exit codes.
enum ExitCode {
  kExitOk = 0,
  kExitFailure = 1,     // anything else that went wrong (e.g. the cache)
  kExitUsage = 2,       // bad command line or unreadable input file
  kExitTransport = 3,   // the request did not reach the gateway, or no answer came
  kExitService = 4,     // the account service answered an error "code"
  kExitAnswer = 5,      // the answer was not a region lookup response
  kExitRefused = 6,     // the gateway refused the request (status 400+ with its error code)
  kExitStatus = 7,      // any other HTTP status outside 2xx (a redirect is not followed)
  kExitIncomplete = 8,  // the answer named no complete region
  kExitNotSaved = 9,    // the command's save into the cache failed (what it found is still printed)
};

// What a usage message or --help is about: the tool as a whole, or one
// command. Options of kGlobal are taken by every command; the others only by
// their command.
enum class Topic { kGlobal, kLookup, kShow, kClear, kLanguage, kCountry };

struct Options {
  std::string gateway;
  std::string iotApiHost;
  std::string appKey;
  std::string appSecret;
  bool haveSecret = false;
  std::string caFile;
  // Not set: libcurl's proxy environment variables apply; "": no proxy
  // (--no-proxy); else the --proxy URL.
  std::optional<std::string> proxy;
  std::string cacheFile;
  int stage = 0;
  long timeoutMs = 0;
  int attempts = 0;  // region lookup: attempts per lookup; 0 keeps the library's default
  int logLevel = 4;
  bool json = false;
  bool trace = false;  // region lookup: one line per attempt of the transfer
  bool help = false;
  bool version = false;
  std::string generate;  // --bash-completion or --man-page: print that and stop
  // Options that only one command takes (the lookup identifiers), by name.
  std::map<std::string, std::string> identifiers;
  std::vector<std::string> words;  // the command and its arguments
};

// A command line the tool cannot run; `topic` says whose --help to point to.
class UsageError : public std::runtime_error {
 public:
  UsageError(const std::string& message, Topic topic) : std::runtime_error(message), topic_(topic) {}
  Topic topic() const { return topic_; }

 private:
  Topic topic_;
};

// Reads the command line; reads and checks the files it names. Throws
// UsageError.
Options ParseCommandLine(int argc, char** argv);

// Throws UsageError when `options` holds an option that `command` does not
// take.
void CheckOptionsBelongTo(const Options& options, Topic command);

// The help text of `topic`.
std::string UsageText(Topic topic);
// Whose help `--help` after these words shows.
Topic HelpTopic(const std::vector<std::string>& words);
// The words of the command `topic` is about ("region lookup"); empty for kGlobal.
std::string CommandName(Topic topic);
// The command line whose --help shows `topic`'s help ("iotcloud region lookup").
std::string HelpCommand(Topic topic);

// The one of `candidates` that `given` is most likely a slip of the fingers
// for; empty when none is near enough, or two are equally near.
std::string Nearest(const std::string& given, const std::vector<std::string>& candidates);
// For command words that name no command: the command they most likely
// meant ("region lookup" for "regoin lookup" or "lookup"); empty when none.
std::string NearestCommand(const std::vector<std::string>& words);

// The bash completion script and the manual page (roff), both written from
// the option table the parser reads.
std::string BashCompletion();
std::string ManPage();

}  // namespace cli
}  // namespace iotcloud
