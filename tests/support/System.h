// What tests need from the operating system, behind one interface so test
// bodies carry no #ifdefs (posix/System.cpp, win/System.cpp; CMake picks
// one): loopback sockets, a closed port, files that are no regular files, a small file system,
// child processes without a shell, and the size of the address space.
// Where a system has no such thing, the helper says why, for GTEST_SKIP.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace iotcloud_test {

// A loopback port with nothing listening on it: one the system just handed
// out and took back, so a connection to it is refused.
int ClosedPort();

// A TCP socket bound to 127.0.0.1 on an ephemeral port while the object
// lives, for a test that reads and writes the bytes on the wire itself.
// Listening, it accepts connections; not listening, it holds a port that
// refuses every connection and that no server started later can take.
class LoopbackSocket {
 public:
  // One accepted connection, closed when it ends.
  class Connection {
   public:
    Connection() = default;
    ~Connection();
    Connection(Connection&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    Connection& operator=(Connection&&) = delete;
    bool open() const { return handle_ != -1; }
    // Up to `size` bytes into `buffer`; 0 at the end of the stream, on a
    // failure or when the time limit given to Accept passed first.
    size_t Receive(char* buffer, size_t size);
    // Sends all of `bytes`; false on a failure.
    bool Send(const std::string& bytes);

   private:
    friend class LoopbackSocket;
    explicit Connection(long long handle) : handle_(handle) {}
    long long handle_ = -1;
  };

  explicit LoopbackSocket(bool listening = true);
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket&) = delete;
  LoopbackSocket& operator=(const LoopbackSocket&) = delete;

  // Whether the socket could be bound (and made to listen).
  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
  // Waits at most `limit` for a connection, which then gives up on a
  // Receive after `limit` too; a closed connection when none came.
  Connection Accept(std::chrono::milliseconds limit);

 private:
  long long handle_ = -1;
  int port_ = 0;
};

// Creates a FIFO at `path`. False with *why where the system has none.
bool MakeFifo(const std::string& path, std::string* why);

// A device that opens as a file but is no regular file ("/dev/zero", which
// reads without end; Windows: "NUL").
std::string DeviceFile();

// A file system of `bytes` bytes mounted on the (existing, empty) folder
// `dir` while this object lives. mounted() tells whether it could be; why()
// says why not (it needs root, or the system has no such mount).
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& dir, size_t bytes);
  ~SmallFileSystem();
  SmallFileSystem(const SmallFileSystem&) = delete;
  SmallFileSystem& operator=(const SmallFileSystem&) = delete;
  bool mounted() const { return mounted_; }
  const std::string& why() const { return why_; }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_;
};

// Sets an environment variable of this process (empty `value`: unsets it)
// while the object lives, then restores what was there.
class ScopedEnvironmentVariable {
 public:
  ScopedEnvironmentVariable(const std::string& name, const std::string& value);
  ~ScopedEnvironmentVariable();
  ScopedEnvironmentVariable(const ScopedEnvironmentVariable&) = delete;
  ScopedEnvironmentVariable& operator=(const ScopedEnvironmentVariable&) = delete;

 private:
  std::string name_;
  bool hadValue_ = false;
  std::string previous_;
};

// The variable that names the per-user folder the default cache lives under
// (XDG_CACHE_HOME; Windows: LOCALAPPDATA).
std::string UserCacheVariable();

// Adds the CA certificate `caPem` to the roots the system trusts for this
// user (Windows: the ROOT store, which a real desktop confirms in a dialog;
// meant for a throw-away wine prefix) while the object lives. added() false
// with why() where a test cannot: POSIX systems keep their roots in the
// files libcurl names, shared by every user.
class ScopedSystemRoot {
 public:
  explicit ScopedSystemRoot(const std::string& caPem);
  ~ScopedSystemRoot();
  ScopedSystemRoot(const ScopedSystemRoot&) = delete;
  ScopedSystemRoot& operator=(const ScopedSystemRoot&) = delete;
  bool added() const { return added_; }
  const std::string& why() const { return why_; }

 private:
  std::string der_;  // the certificate added (Windows)
  bool added_ = false;
  std::string why_;
};

// The path of the running program.
std::string ThisProgram();

// How a child process ended.
struct ExitStatus {
  bool exited = false;  // ended by itself (or by Interrupt) with `code`
  int code = -1;
  bool killed = false;  // ended by Kill()
  std::string Describe() const;
};

// A program started without a shell: each argument reaches it as given
// (Windows: quoted for its C runtime). Its standard input is empty, its
// standard output is read through ReadUntil and the like (as text: Windows'
// CR LF arrives as LF), its standard error goes to a file (or is dropped). A child still running when this object ends
// is killed and waited for. One thread uses an object at a time.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `environment` entries ("NAME=value") are added to this process's own.
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& stderrFile = "",
             const std::vector<std::string>& environment = {});
  // Reads standard output until `text` has appeared (true) or it ended
  // (false); everything read so far is in *out.
  bool ReadUntil(const std::string& text, std::string* out);
  // Reads exactly `count` bytes; false when the output ended first.
  bool ReadExactly(size_t count, std::string* out);
  // Reads standard output to its end.
  std::string ReadAll();
  // Asks the child to stop: SIGTERM; Windows: Ctrl+Break to its process
  // group, and the event "Local\iotcloud-stop-<process id>" set (which the
  // project's programs watch where no console carries Ctrl+Break).
  void Interrupt();
  // Ends it at once: SIGKILL; Windows: TerminateProcess.
  void Kill();
  ExitStatus Wait();
  bool running() const { return handle_ != 0; }

 private:
  bool ReadSome(std::string* out);

  long long handle_ = 0;  // process id (POSIX) or handle (Windows); 0: none
  long long output_ = 0;  // read end of the standard output pipe; 0: none
  unsigned long processId_ = 0;
  bool killed_ = false;
};

// Runs `program` to its end; its standard output goes to *output (when not
// null).
ExitStatus RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& stderrFile = "", std::string* output = nullptr);

// What a program run through the command interpreter exited with and wrote.
struct ShellRun {
  int exitCode = -1;  // -1: it did not exit by itself
  std::string out;
  std::string err;
};

// Runs `program` with `args` through the system's command interpreter, as a
// user types the line (sh; Windows: cmd.exe /c), each argument quoted so it
// reaches the program as given: in single quotes for sh; on Windows for the C
// runtime's parser, then with every character cmd.exe acts on (" & | < > ^ %
// ! ( )) escaped by ^, and as bytes of the ANSI code page, which a narrow
// main reads back. (Wine's cmd.exe removes the ^ before it expands %NAME%, so
// there the %NAME% of a set variable cannot be passed.) Standard input is empty (</dev/null; <NUL); standard
// output and error go to `outFile` and `errFile` and are read back, on
// Windows with CR LF as LF (a C runtime's text mode writes each line feed as
// CR LF). The environment is this process's without the variables named in
// `unset`, plus `environment` ("NAME=value").
ShellRun RunInShell(const std::string& program, const std::vector<std::string>& args,
                    const std::vector<std::string>& unset, const std::vector<std::string>& environment,
                    const std::string& outFile, const std::string& errFile);

// Why `argument` cannot pass through the command interpreter (cmd.exe ends a
// command at a line break); empty where it can.
std::string WhyShellCannotPass(const std::string& argument);

// Why the POSIX programs some tests run (bash, groff) cannot run here; empty
// where they can.
std::string WhyNoPosixTools();

// A new folder `dir` that a test can make read-only for itself, also as root
// (then a small file system is mounted on it and remounted read-only). ok()
// false with why() where it cannot; the destructor makes it writable again.
class ReadOnlyFolder {
 public:
  explicit ReadOnlyFolder(const std::string& dir);
  ~ReadOnlyFolder();
  ReadOnlyFolder(const ReadOnlyFolder&) = delete;
  ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;
  bool ok() const { return why_.empty(); }
  const std::string& why() const { return why_; }
  // Makes it read-only; false when that failed.
  bool Seal();

 private:
  std::string dir_;
  bool mounted_ = false;
  std::string why_;
};

// The size of this process's address space (reserved and committed), in KiB;
// -1 when it cannot be read.
long AddressSpaceKiB();

}  // namespace iotcloud_test
