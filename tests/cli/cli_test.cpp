// The lzring tool as a user meets it: exit statuses, outputs (compared with
// what _Encode writes), messages on standard error, terminals, failures that
// must leave no partial file, and interruption.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "lzring.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;
namespace fs = std::filesystem;

struct Invocation {
  std::vector<std::string> args{};
  std::string cwd{};
  Bytes input{};              // written to a stdin pipe
  bool stdin_tty = false;     // stdin is a pseudo-terminal instead
  bool stdout_tty = false;    // stdout is a pseudo-terminal instead of a pipe
  std::string stdout_path{};  // stdout redirected to this file instead
  rlim_t file_size_limit = RLIM_INFINITY;
  std::string shim{};                 // LZRING_SHIM words for the preloaded shim.c
  std::vector<int> ignored{};         // signals the tool starts with ignored
  uid_t uid = 0;                      // run as this user (and group) when not 0
  std::string program{};              // the tool to run, by this name; the built one if empty
  std::string shim_library{};         // the shim to preload; the built one if empty
  unsigned short stderr_columns = 0;  // stderr is a pseudo-terminal this wide
};

struct Result {
  int status = -1;  // exit status, or 128 + signal
  Bytes out;
  std::string err;
};

// A started tool: its pid, our ends of its stdin, stdout and stderr pipes,
// and the terminal master, kept open while the tool runs.
struct Child {
  pid_t pid;
  int in_fd, out_fd, err_fd, tty_fd;
};

Child Start(const Invocation& run) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  int tty_master = -1, tty_slave = -1;
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) std::abort();
  winsize size{};
  size.ws_row = 24;
  size.ws_col = run.stderr_columns;
  if ((run.stdin_tty || run.stdout_tty || run.stderr_columns != 0) &&
      ::openpty(&tty_master, &tty_slave, nullptr, nullptr, &size) != 0) {
    std::abort();
  }
  // The tool may exit without reading all its input (a refusal, say): the
  // feeding write must then fail with EPIPE rather than kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    ::dup2(run.stdin_tty ? tty_slave : in_pipe[0], 0);
    if (!run.stdout_path.empty()) {
      ::dup2(::open(run.stdout_path.c_str(), O_WRONLY), 1);
    } else {
      ::dup2(run.stdout_tty ? tty_slave : out_pipe[1], 1);
    }
    ::dup2(run.stderr_columns != 0 ? tty_slave : err_pipe[1], 2);
    const rlimit limit{run.file_size_limit, run.file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    if (!run.cwd.empty() && ::chdir(run.cwd.c_str()) != 0) ::_exit(126);
    if (run.uid != 0 && (::setgid(run.uid) != 0 || ::setuid(run.uid) != 0)) ::_exit(126);
    for (const int sig : run.ignored) ::signal(sig, SIG_IGN);
    if (!run.shim.empty()) {
      ::setenv("LD_PRELOAD", run.shim_library.empty() ? LZRING_CLI_SHIM : run.shim_library.c_str(),
               1);
      ::setenv("LZRING_SHIM", run.shim.c_str(), 1);
      // A sanitizer build of the tool accepts a library loaded before its
      // runtime.
      ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    const char* program = run.program.empty() ? LZRING_CLI : run.program.c_str();
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::closefrom(3);
    ::execv(program, argv.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (tty_slave >= 0) ::close(tty_slave);
  return Child{pid, in_pipe[1], out_pipe[0], err_pipe[0], tty_master};
}

int Wait(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Feeds stdin from a thread and drains stdout and stderr (the terminal, when
// stderr is one) until both close.
Result RunTool(const Invocation& run) {
  Child child = Start(run);
  if (run.stderr_columns != 0) {
    // The pipe has no writer: the terminal takes its place, and is closed
    // below once the tool has closed its end.
    ::close(child.err_fd);
    child.err_fd = std::exchange(child.tty_fd, -1);
  }
  const int in_fd = child.in_fd;
  std::thread feeder([&] {
    std::size_t done = 0;
    while (done < run.input.size()) {
      const ssize_t n = ::write(in_fd, run.input.data() + done, run.input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(in_fd);
  });
  Result result;
  pollfd fds[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
  int open_count = 2;
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (pollfd& p : fds) {
      if (p.fd < 0 || p.revents == 0) continue;
      char buf[65536];
      const ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      // A terminal whose other end is closed fails with EIO.
      if (n <= 0) {
        ::close(p.fd);
        p.fd = -1;
        --open_count;
      } else if (&p == &fds[0]) {
        result.out.insert(result.out.end(), buf, buf + n);
      } else {
        result.err.append(buf, static_cast<std::size_t>(n));
      }
    }
  }
  feeder.join();
  result.status = Wait(child.pid);
  if (child.tty_fd >= 0) ::close(child.tty_fd);
  return result;
}

Result Tool(std::vector<std::string> args, const std::string& cwd) {
  return RunTool(Invocation{.args = std::move(args), .cwd = cwd});
}

Bytes EncodeWithC(const std::string& path) {
  // Beside the file, under a name that fits wherever the file's does.
  const std::string out = (fs::path(path).parent_path() / ".reference").string();
  EXPECT_EQ(_Encode(path.c_str(), out.c_str()), 0);
  Bytes bytes = ReadFile(out);
  fs::remove(out);
  return bytes;
}

std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

std::set<std::string> Listing(const TempDir& dir) {
  return Listing(dir.path());
}

Bytes Sample() {
  return test::TextBytes(20000, 11);
}

TEST(Cli, CompressesToSuffixLikeTheCLibraryAndExpandsBack) {
  TempDir dir;
  WriteFile(dir / "a.txt", Sample());
  ::chmod((dir / "a.txt").c_str(), 0640);
  const timespec times[2] = {{1000000000, 0}, {1234567890, 0}};
  ::utimensat(AT_FDCWD, (dir / "a.txt").c_str(), times, 0);

  Result r = Tool({"a.txt"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(r.out.empty());
  EXPECT_EQ(ReadFile(dir / "a.txt.lzr"), EncodeWithC(dir / "a.txt"));
  EXPECT_EQ(ReadFile(dir / "a.txt"), Sample());  // kept by default

  struct stat st;
  ASSERT_EQ(::stat((dir / "a.txt.lzr").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(st.st_mtim.tv_sec, 1234567890);

  fs::rename(dir / "a.txt", dir / "original");
  r = Tool({"-d", "a.txt.lzr"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "a.txt"), Sample());
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"a.txt", "a.txt.lzr", "original"}));
}

TEST(Cli, PipesFromStdinToStdout) {
  TempDir dir;
  WriteFile(dir / "s", Sample());
  const Result packed = RunTool({.input = Sample()});
  EXPECT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.out, EncodeWithC(dir / "s"));
  const Result plain = RunTool({.args = {"-d", "-"}, .input = packed.out});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, Sample());
  // -o - is standard output too, and no file named "-".
  const Result dash = RunTool({.args = {"-o", "-", "s"}, .cwd = dir.path()});
  EXPECT_EQ(dash.status, 0) << dash.err;
  EXPECT_EQ(dash.out, packed.out);
  EXPECT_EQ(Listing(dir), std::set<std::string>{"s"});
  const Result listed = RunTool({.args = {"-l"}, .input = packed.out});
  EXPECT_NE(std::string(listed.out.begin(), listed.out.end()).find(std::to_string(Sample().size())),
            std::string::npos);
}

// -T spends its threads on one file and on several files; the bytes never
// change.
TEST(Cli, EveryThreadCountGivesTheSameBytes) {
  TempDir dir;
  WriteFile(dir / "big", test::TextBytes(300000, 5));
  WriteFile(dir / "a.txt", Sample());
  const Bytes expected = EncodeWithC(dir / "big");
  for (const char* threads : {"-T1", "-T2", "-T3", "-T0"}) {
    const Result r = RunTool({.args = {threads, "-c", "big"}, .cwd = dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, expected) << threads;
  }
  const Result r = Tool({"-T3", "big", "a.txt"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir / "big.lzr"), expected);
  EXPECT_EQ(ReadFile(dir / "a.txt.lzr"), EncodeWithC(dir / "a.txt"));
}

// --best and -9 write the smallest stream: the same bytes from a file, a
// pipe and on any thread count, smaller than the exact stream, and _Decode
// and the tool's -d expand it.
TEST(Cli, BestWritesOneSmallerStreamThatExpands) {
  TempDir dir;
  const Bytes big = test::TextBytes(300000, 5);
  WriteFile(dir / "big", big);
  const Result best = Tool({"--best", "big"}, dir.path());
  ASSERT_EQ(best.status, 0) << best.err;
  const Bytes packed = ReadFile(dir / "big.lzr");
  EXPECT_LT(packed.size(), EncodeWithC(dir / "big").size());
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"-9", "-c", "big"}, {"--best", "-T2", "-c", "big"}, {"-9c", "-T0", "big"}}) {
    const Result r = RunTool({.args = args, .cwd = dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, packed) << args[0] << " " << args[1];
  }
  const Result piped = RunTool({.args = {"--best"}, .input = big});
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.out, packed);
  ASSERT_EQ(_Decode((dir / "big.lzr").c_str(), (dir / "back").c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "back"), big);
  const Result plain = RunTool({.args = {"-d", "-c", "big.lzr"}, .cwd = dir.path()});
  EXPECT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.out, big);
}

struct Case {
  const char* name;
  std::vector<std::string> args{};
  int status;
  std::string err;                      // expected on stderr, in full, as it is seen (Seen())
  std::optional<std::string> out = "";  // expected on stdout; not compared when nullopt
  std::string program{};                // run through a link of this name
  unsigned short columns = 0;           // stderr is a terminal this wide
  std::string shim{};
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// Inputs prepared for every case: a.txt, b.txt.lzr (compressed), existing
// outputs c.txt + c.txt.lzr, a directory d, h.txt with a second hard link
// h2.txt, a symbolic link s.txt to a.txt, a FIFO p, a socket sock and,
// where device nodes can be made, a null device nulldev (never a system
// name: a tool that went wrong would remove it).
const std::string kListHeader = "  compressed  uncompressed  ratio  uncompressed_name\n";
// 81 characters that name a.txt.
const std::string kLongPath = [] {
  std::string path;
  while (path.size() < 76) path += "./";
  return path + "a.txt";
}();

class Messages : public ::testing::TestWithParam<Case> {};

// Standard error as a terminal shows it: a line is what was written after
// its last carriage return, without the spaces that blanked what was drawn
// before (lines redrawn as the work goes, which a busy machine draws or
// not). What follows the last line end is kept whole.
std::string Seen(std::string err) {
  for (std::size_t at; (at = err.find("\r\n")) != std::string::npos;) err.erase(at, 1);
  std::string seen;
  std::size_t start = 0;
  for (std::size_t end; (end = err.find('\n', start)) != std::string::npos; start = end + 1) {
    std::string line = err.substr(start, end - start);
    if (const std::size_t cr = line.rfind('\r'); cr != std::string::npos) line.erase(0, cr + 1);
    line.erase(line.find_last_not_of(' ') + 1);
    seen += line + "\n";
  }
  return seen + err.substr(start);
}

// The widest of the lines and redrawings in `err`, in characters.
std::size_t WidestLine(const std::string& err) {
  std::size_t widest = 0;
  std::size_t width = 0;
  for (const char c : err) {
    if (c == '\r' || c == '\n') {
      width = 0;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      widest = std::max(widest, ++width);
    }
  }
  return widest;
}

TEST_P(Messages, ExitStatusAndStderr) {
  TempDir dir;
  WriteFile(dir / "a.txt", Sample());
  WriteFile(dir / "b.txt.lzr", Bytes{0x01, 0x62});
  WriteFile(dir / "c.txt", Sample());
  WriteFile(dir / "c.txt.lzr", Bytes{1, 2, 3});
  fs::create_directory(dir / "d");
  WriteFile(dir / "h.txt", Sample());
  fs::create_hard_link(dir / "h.txt", dir / "h2.txt");
  fs::create_symlink("a.txt", dir / "s.txt");
  ASSERT_EQ(::mkfifo((dir / "p").c_str(), 0600), 0);
  sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
  const std::string socket_path = dir / "sock";
  ASSERT_LT(socket_path.size(), sizeof address.sun_path);
  socket_path.copy(address.sun_path, socket_path.size());
  const int sock = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::close(sock);
  const bool device = ::mknod((dir / "nulldev").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const Case& c = GetParam();
  const auto names = [&c](const char* name) {
    return std::find(c.args.begin(), c.args.end(), name) != c.args.end();
  };
  if (!device && names("nulldev")) GTEST_SKIP() << "cannot make a device node here";
  // An input large enough for a progress line of its own.
  if (names("big")) WriteFile(dir / "big", Bytes(4u << 20, 0));
  // The tool under another name: a link to it.
  TempDir bin;
  std::string program;
  if (!c.program.empty()) {
    program = bin / c.program;
    fs::create_symlink(fs::absolute(LZRING_CLI), program);
  }
  const Result r = RunTool({.args = c.args,
                            .cwd = dir.path(),
                            .shim = c.shim,
                            .program = program,
                            .stderr_columns = c.columns});
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(Seen(r.err), c.err);
  // Never wrapped: the last column stays empty.
  if (c.columns != 0) {
    EXPECT_LT(WidestLine(r.err), c.columns) << r.err;
  }
  if (c.out) {
    EXPECT_EQ(std::string(r.out.begin(), r.out.end()), *c.out);
  }
  EXPECT_EQ(ReadFile(dir / "c.txt.lzr"), (Bytes{1, 2, 3}));  // never overwritten here
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Messages,
    ::testing::Values(
        Case{"missing", {"nope.txt"}, 1, "lzring: nope.txt: No such file or directory\n"},
        Case{"missing_and_good", {"nope", "a.txt"}, 1, "lzring: nope: No such file or directory\n"},
        Case{"exists",
             {"c.txt"},
             2,
             "lzring: c.txt.lzr: already exists; not overwritten (use -f to overwrite)\n"},
        Case{"exists_quiet", {"-q", "c.txt"}, 2, ""},
        Case{"no_suffix",
             {"-d", "a.txt"},
             2,
             "lzring: a.txt: unknown suffix -- ignored (use -o to name the output)\n"},
        Case{"has_suffix",
             {"b.txt.lzr"},
             2,
             "lzring: b.txt.lzr: already has .lzr suffix -- unchanged\n"},
        Case{"directory", {"d"}, 2, "lzring: d: is a directory -- ignored\n"},
        Case{"own_input",
             {"-f", "-o", "c.txt", "c.txt"},
             1,
             "lzring: c.txt: is the input itself; not overwritten\n"},
        Case{"bad_option",
             {"--frobnicate"},
             1,
             "lzring: unknown option '--frobnicate'\nTry 'lzring --help' for more information.\n"},
        Case{"bad_threads",
             {"-T", "x", "a.txt"},
             1,
             "lzring: invalid thread count 'x' (0 to 256)\nTry 'lzring --help' for more "
             "information.\n"},
        Case{"output_many",
             {"-o", "x", "a.txt", "c.txt"},
             1,
             "lzring: -o names the output of a single input\nTry 'lzring --help' for more "
             "information.\n"},
        Case{"verbose", {"-v", "a.txt"}, 0, "a.txt: 80.5% -- created a.txt.lzr\n"},
        Case{"rm_hard_link",
             {"--rm", "h.txt"},
             2,
             "lzring: h.txt: has 1 other link -- unchanged (use -f to force)\n"},
        Case{"rm_symlink",
             {"--rm", "s.txt"},
             2,
             "lzring: s.txt: is a symbolic link -- unchanged (use -f to force)\n"},
        // Refused before its open, which would wait for a writer: a device or
        // FIFO gets no output named after it, -f or not.
        Case{"fifo",
             {"p"},
             2,
             "lzring: p: is not a regular file -- ignored (use -c or -o to name its output)\n"},
        Case{"device_forced",
             {"-f", "nulldev"},
             2,
             "lzring: nulldev: is not a regular file -- ignored (use -c or -o to name its "
             "output)\n"},
        Case{"device_named_output", {"-o", "x", "nulldev"}, 0, ""},
        // Nor is one listed without -f: /dev/zero would never end.
        Case{"list_fifo",
             {"-l", "p"},
             2,
             "lzring: p: is not a regular file -- ignored (use -f to force)\n",
             kListHeader},
        Case{"list_device",
             {"-l", "nulldev"},
             2,
             "lzring: nulldev: is not a regular file -- ignored (use -f to force)\n",
             kListHeader},
        Case{"list_device_forced",
             {"-l", "-f", "nulldev"},
             0,
             "",
             kListHeader + "           0             0    0.0%  nulldev\n"},
        // A device or FIFO is never removed, nor read to be removed.
        Case{"fifo_rm_forced",
             {"-f", "--rm", "p"},
             2,
             "lzring: p: is not a regular file -- ignored (--rm removes only regular files)\n"},
        Case{"device_rm_forced",
             {"-f", "--rm", "nulldev"},
             2,
             "lzring: nulldev: is not a regular file -- ignored (--rm removes only regular "
             "files)\n"},
        Case{"socket_input", {"-f", "sock"}, 2, "lzring: sock: is a socket -- ignored\n"},
        Case{"socket_output",
             {"-o", "sock", "a.txt"},
             1,
             "lzring: sock: is a socket; not written\n"},
        Case{"rm_to_stdout",
             {"-c", "--rm", "a.txt"},
             1,
             "lzring: --rm removes inputs written to files, not to standard output\nTry "
             "'lzring --help' for more information.\n"},
        Case{"list_with_output",
             {"-l", "-o", "x", "b.txt.lzr"},
             1,
             "lzring: -l writes no output file; -o cannot be used with it\nTry 'lzring "
             "--help' for more information.\n"},
        Case{"stdin_twice",
             {"-", "-"},
             1,
             "lzring: standard input (-) can be read only once\nTry 'lzring --help' for more "
             "information.\n"},
        Case{"suffix", {"-v", "-S", ".z", "a.txt"}, 0, "a.txt: 80.5% -- created a.txt.z\n"},
        Case{"bad_suffix",
             {"--suffix=x/y", "a.txt"},
             1,
             "lzring: invalid suffix 'x/y'\nTry 'lzring --help' for more information.\n"},
        Case{"offset_past_end",
             {"-d", "--offset=3", "-c", "b.txt.lzr"},
             1,
             "lzring: b.txt.lzr: offset 3 is past the end of the input (2 bytes)\n"},
        Case{"size_past_stream",
             {"-d", "--size", "5", "-o", "out", "b.txt.lzr"},
             1,
             "lzring: b.txt.lzr: stream ends after 1 of 5 bytes (--size)\n"},
        Case{"offset_when_compressing",
             {"--offset=1", "a.txt"},
             1,
             "lzring: --offset and --size apply to expansion (-d)\nTry 'lzring --help' for "
             "more information.\n"},
        Case{"level",
             {"-6", "a.txt"},
             1,
             "lzring: no compression level '-6': lzring writes the exact stream (the default) "
             "or the smallest one (--best, -9)\nTry 'lzring --help' for more information.\n"},
        Case{"best_when_expanding",
             {"-d", "--best", "b.txt.lzr"},
             1,
             "lzring: --best (-9) applies to compression\nTry 'lzring --help' for more "
             "information.\n"},
        Case{"bad_size",
             {"-d", "--size=12k", "b.txt.lzr"},
             1,
             "lzring: invalid size '12k'\nTry 'lzring --help' for more information.\n"},
        Case{"output_and_stdout",
             {"-c", "-o", "x", "a.txt"},
             1,
             "lzring: -o and -c cannot be used together\nTry 'lzring --help' for more "
             "information.\n"},
        // --progress ends with a line of the totals, however fast the job,
        // -q or not, to a log or to standard output.
        Case{"progress", {"--progress", "a.txt"}, 0, "a.txt: 100%  20000 -> 3910 bytes\n"},
        Case{"progress_quiet_to_stdout",
             {"-dcq", "--progress", "b.txt.lzr"},
             0,
             "b.txt.lzr: 100%  2 -> 1 bytes\n",
             "b"},
        // On a terminal, a name too wide for it is shortened from its start.
        Case{.name = "progress_narrow_terminal",
             .args = {"--progress", kLongPath},
             .status = 0,
             .err = "...././././././././././././a.txt: 100%  20000 -> 3910 bytes\n",
             .columns = 60},
        // By default, no progress over the terminal of whoever reads -c's
        // output, even a job slow enough for it.
        Case{.name = "no_progress_over_stdout",
             .args = {"-c", "big"},
             .status = 0,
             .err = "",
             .out = std::nullopt,
             .columns = 80,
             .shim = "slow_read"},
        // The tool's other names.
        Case{.name = "unlzring",
             .args = {"-v", "b.txt.lzr"},
             .status = 0,
             .err = "b.txt.lzr: -100.0% -- created b.txt\n",
             .program = "unlzring"},
        Case{.name = "lzcat",
             .args = {"b.txt.lzr"},
             .status = 0,
             .err = "",
             .out = "b",
             .program = "lzcat"},
        Case{.name = "lzcat_listing",
             .args = {"-l", "b.txt.lzr"},
             .status = 0,
             .err = "",
             .out = kListHeader + "           2             1 -100.0%  b.txt\n",
             .program = "lzcat"}),
    [](const auto& info) { return std::string(info.param.name); });

// What the destination name is before the run, and what it must be after.
// kStdoutLink: a link to /proc/self/fd/1, with standard output a file;
// kDevLink: a link into /dev that leads nowhere; kOpenFileLink: a link to
// a descriptor the tool does not have open (/proc/self/fd/999).
// kExpandedWithHoles: the input is a compressed file, expanded to its
// original size, with holes where the original has zeros.
enum class Dest {
  kNone,
  kFile,
  kDanglingLink,
  kDevice,
  kFifo,
  kStdoutLink,
  kDevLink,
  kOpenFileLink
};
enum class After {
  kCompressed,
  kOld,
  kOther,
  kDanglingLink,
  kDevice,
  kFifoGotCompressed,
  kFifoUntouched,
  kStdoutGotCompressed,
  kExpandedWithHoles
};

struct OutputCase {
  const char* name;
  Dest before;
  std::vector<std::string> args;  // the input is the last
  std::string shim;
  int status;
  std::string err;
  After after;
  mode_t mode = 0640;     // of a compressed output
  const char* base = "";  // the directory the row runs in, when not a temporary one
};

// A directory of its own in `base`, removed with what it holds; empty()
// when it could not be made.
class DirIn {
 public:
  explicit DirIn(const std::string& base) {
    std::string pattern = base + "/lzring-test-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~DirIn() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  DirIn(const DirIn&) = delete;
  DirIn& operator=(const DirIn&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The original of the kExpandedWithHoles rows: runs of zeros, the last at
// the end, between a few bytes of data.
Bytes WithRunsOfZeros() {
  Bytes bytes = test::FromText("head");
  bytes.resize(bytes.size() + (5u << 20), 0);
  for (const char c : std::string("tail")) bytes.push_back(static_cast<std::uint8_t>(c));
  bytes.resize(bytes.size() + (1u << 20) + 100, 0);
  return bytes;
}

// Whether the file system of `dir` leaves a hole where a file is extended
// without being written.
bool MakesHoles(const fs::path& dir) {
  const std::string probe = (dir / ".probe").string();
  const int fd = ::open(probe.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  struct stat st {};
  const bool holes = fd >= 0 && ::ftruncate(fd, 1 << 20) == 0 && ::fstat(fd, &st) == 0 &&
                     st.st_blocks * 512 < (1 << 20);
  if (fd >= 0) ::close(fd);
  ::unlink(probe.c_str());
  return holes;
}

void PrintTo(const OutputCase& c, std::ostream* os) {
  *os << c.name;
}

const std::string kLongName(251, 'n');  // with ".lzr", the longest name allowed
const std::string kExists =
    "lzring: a.lzr: already exists; not overwritten (use -f to overwrite)\n";

class Outputs : public ::testing::TestWithParam<OutputCase> {};

// Every row runs the tool on one input in an empty directory; afterwards
// the directory holds the input and the destination and nothing else.
TEST_P(Outputs, NameIsReplacedOnlyAsAsked) {
  const OutputCase& c = GetParam();
  TempDir temp;
  std::optional<DirIn> elsewhere;
  if (*c.base != '\0' && elsewhere.emplace(c.base).path().empty()) {
    GTEST_SKIP() << "cannot make a directory in " << c.base;
  }
  const fs::path& dir = elsewhere ? elsewhere->path() : temp.path();
  TempDir aside;  // a second name of the FIFO, out of the listing
  const std::string input = c.args.back();
  const std::string dest = dir / (input == kLongName ? kLongName + ".lzr" : "a.lzr");
  Bytes original = Sample();
  if (c.after == After::kExpandedWithHoles) {
    if (!MakesHoles(dir)) GTEST_SKIP() << "the file system here makes no holes";
    original = WithRunsOfZeros();
    WriteFile(aside / "original", original);
    WriteFile(dir / input, EncodeWithC(aside / "original"));
  } else {
    WriteFile(dir / input, original);
  }
  ::chmod((dir / input).c_str(), 0640);
  const Bytes compressed = EncodeWithC(dir / input);
  if (c.before == Dest::kFile) WriteFile(dest, test::FromText("old"));
  if (c.before == Dest::kDanglingLink) fs::create_symlink("nowhere", dest);
  if (c.before == Dest::kDevLink) fs::create_symlink("/dev/lzring-nowhere", dest);
  if (c.before == Dest::kOpenFileLink) fs::create_symlink("/proc/self/fd/999", dest);
  std::string stdout_path;
  if (c.before == Dest::kStdoutLink) {
    fs::create_symlink("/proc/self/fd/1", dest);
    stdout_path = aside / "stdout";
    WriteFile(stdout_path, {});
  }
  if (c.before == Dest::kDevice && ::mknod(dest.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  Bytes from_fifo;
  std::thread reader;
  if (c.before == Dest::kFifo) {
    ASSERT_EQ(::mkfifo(dest.c_str(), 0600), 0);
    ASSERT_EQ(::link(dest.c_str(), (aside / "fifo").c_str()), 0);
    reader = std::thread([&] {
      const int fd = ::open(dest.c_str(), O_RDONLY | O_CLOEXEC);
      std::uint8_t block[4096];
      for (ssize_t n; fd >= 0 && (n = ::read(fd, block, sizeof block)) > 0;) {
        from_fifo.insert(from_fifo.end(), block, block + n);
      }
      if (fd >= 0) ::close(fd);
    });
  }
  const Result r =
      RunTool({.args = c.args, .cwd = dir, .stdout_path = stdout_path, .shim = c.shim});
  if (reader.joinable()) {
    // Releases the reader's open if the tool never opened the FIFO.
    ::close(::open((aside / "fifo").c_str(), O_RDWR | O_CLOEXEC));
    reader.join();
  }
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(Listing(dir), (std::set<std::string>{input, fs::path(dest).filename()}));
  struct stat st {};
  ASSERT_EQ(::lstat(dest.c_str(), &st), 0);
  switch (c.after) {
    case After::kCompressed:
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(st.st_mode & 0777, c.mode);
      EXPECT_EQ(ReadFile(dest), compressed);
      break;
    case After::kOld:
      EXPECT_EQ(ReadFile(dest), test::FromText("old"));
      break;
    case After::kOther:
      EXPECT_EQ(ReadFile(dest), test::FromText("other"));
      break;
    case After::kDanglingLink:
      EXPECT_TRUE(S_ISLNK(st.st_mode));
      break;
    case After::kDevice:
      EXPECT_TRUE(S_ISCHR(st.st_mode));
      EXPECT_EQ(st.st_rdev, makedev(1, 3));
      break;
    case After::kFifoGotCompressed:
      EXPECT_TRUE(S_ISFIFO(st.st_mode));
      EXPECT_EQ(from_fifo, compressed);
      break;
    case After::kFifoUntouched:
      EXPECT_TRUE(S_ISFIFO(st.st_mode));
      EXPECT_TRUE(from_fifo.empty());
      break;
    case After::kStdoutGotCompressed:
      EXPECT_TRUE(S_ISLNK(st.st_mode));
      EXPECT_EQ(ReadFile(stdout_path), compressed);
      break;
    case After::kExpandedWithHoles:
      EXPECT_TRUE(S_ISREG(st.st_mode));
      EXPECT_EQ(static_cast<std::size_t>(st.st_size), original.size());
      EXPECT_EQ(ReadFile(dest), original);
      // 6 MiB of which 8 bytes are not zeros: a few blocks on disk.
      EXPECT_LT(st.st_blocks * 512, 64 * 1024) << st.st_blocks;
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cli, Outputs,
    ::testing::Values(
        // New outputs: unnamed until linked; named, with renameat2 or link.
        OutputCase{"new", Dest::kNone, {"a"}, "", 0, "", After::kCompressed},
        OutputCase{"new_unprivileged", Dest::kNone, {"a"}, "no_flink", 0, "", After::kCompressed},
        OutputCase{"new_named", Dest::kNone, {"a"}, "no_tmpfile", 0, "", After::kCompressed},
        OutputCase{
            "new_linked", Dest::kNone, {"a"}, "no_tmpfile,no_renameat2", 0, "", After::kCompressed},
        // A name that appears while the output is written is kept.
        OutputCase{"race", Dest::kNone, {"a"}, "race", 2, kExists, After::kOther},
        OutputCase{"race_named", Dest::kNone, {"a"}, "no_tmpfile,race", 2, kExists, After::kOther},
        OutputCase{"race_linked",
                   Dest::kNone,
                   {"a"},
                   "no_tmpfile,no_renameat2,race",
                   2,
                   kExists,
                   After::kOther},
        OutputCase{
            "dangling_link", Dest::kDanglingLink, {"a"}, "", 2, kExists, After::kDanglingLink},
        OutputCase{"dangling_link_forced",
                   Dest::kDanglingLink,
                   {"-f", "a"},
                   "",
                   0,
                   "",
                   After::kCompressed},
        // With -f too the output is unnamed while written.
        OutputCase{"file_forced", Dest::kFile, {"-f", "a"}, "", 0, "", After::kCompressed},
        OutputCase{
            "file_forced_named", Dest::kFile, {"-f", "a"}, "no_tmpfile", 0, "", After::kCompressed},
        // A name of standard output is written as -c writes (and an input
        // written there is kept, as one written to a device); a link to an
        // open file is never replaced. What a name is decides, not where it
        // is: a link into /dev, or a file under /dev/shm, is replaced with -f.
        OutputCase{"stdout_link_forced",
                   Dest::kStdoutLink,
                   {"-f", "-o", "a.lzr", "a"},
                   "",
                   0,
                   "",
                   After::kStdoutGotCompressed},
        OutputCase{"stdout_link_rm",
                   Dest::kStdoutLink,
                   {"--rm", "-o", "a.lzr", "a"},
                   "",
                   2,
                   "lzring: a: not removed: a.lzr is standard output\n",
                   After::kStdoutGotCompressed},
        OutputCase{"open_file_link_forced",
                   Dest::kOpenFileLink,
                   {"-f", "a"},
                   "",
                   1,
                   "lzring: a.lzr: is a link to an open file; not replaced\n",
                   After::kDanglingLink},
        OutputCase{"dev_link_forced", Dest::kDevLink, {"-f", "a"}, "", 0, "", After::kCompressed},
        OutputCase{"file_forced_in_dev_shm",
                   Dest::kFile,
                   {"-f", "a"},
                   "",
                   0,
                   "",
                   After::kCompressed,
                   0640,
                   "/dev/shm"},
        OutputCase{"expanded_forced_in_dev_shm",
                   Dest::kFile,
                   {"-d", "-f", "-o", "a.lzr", "a"},
                   "",
                   0,
                   "",
                   After::kExpandedWithHoles,
                   0640,
                   "/dev/shm"},
        // Expanded runs of zeros take no space, the last one included; the
        // size is the original's.
        OutputCase{"expanded_with_holes",
                   Dest::kNone,
                   {"-d", "-o", "a.lzr", "a"},
                   "",
                   0,
                   "",
                   After::kExpandedWithHoles},
        OutputCase{"expanded_with_holes_named",
                   Dest::kNone,
                   {"-d", "-o", "a.lzr", "a"},
                   "no_tmpfile",
                   0,
                   "",
                   After::kExpandedWithHoles},
        OutputCase{"expanded_range_with_holes",
                   Dest::kNone,
                   {"-d", "--offset=0", "--size=6291564", "-o", "a.lzr", "a"},
                   "",
                   0,
                   "",
                   After::kExpandedWithHoles},
        OutputCase{"long_name", Dest::kNone, {kLongName}, "", 0, "", After::kCompressed},
        OutputCase{
            "long_name_named", Dest::kNone, {kLongName}, "no_tmpfile", 0, "", After::kCompressed},
        // Devices and FIFOs are written into, never replaced, when named by -o
        // or forced; an implicit name is an existing name like any other.
        OutputCase{"device", Dest::kDevice, {"-o", "a.lzr", "a"}, "", 0, "", After::kDevice},
        OutputCase{"device_implicit", Dest::kDevice, {"a"}, "", 2, kExists, After::kDevice},
        OutputCase{"device_forced", Dest::kDevice, {"-f", "a"}, "", 0, "", After::kDevice},
        OutputCase{"device_rm",
                   Dest::kDevice,
                   {"--rm", "-o", "a.lzr", "a"},
                   "",
                   2,
                   "lzring: a: not removed: a.lzr is not a regular file\n",
                   After::kDevice},
        OutputCase{"fifo_forced", Dest::kFifo, {"-f", "a"}, "", 0, "", After::kFifoGotCompressed},
        OutputCase{"fifo_implicit", Dest::kFifo, {"a"}, "", 2, kExists, After::kFifoUntouched},
        // Metadata the file system cannot keep cost a warning, not the output.
        OutputCase{"no_metadata",
                   Dest::kNone,
                   {"a"},
                   "no_metadata",
                   2,
                   "lzring: a.lzr: times not copied: Operation not permitted\n"
                   "lzring: a.lzr: permissions not set: Operation not permitted\n",
                   After::kCompressed,
                   0600}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Cli, ExpandsAStreamInsideAContainer) {
  TempDir dir;
  const Bytes sample = Sample();
  WriteFile(dir / "s", sample);
  const Bytes stream = EncodeWithC(dir / "s");
  Bytes box = test::RandomBytes(1000, 13);
  box.insert(box.end(), stream.begin(), stream.end());
  WriteFile(dir / "box", box);
  const std::string used = " (" + std::to_string(stream.size()) + " compressed bytes used";

  // Exactly the stream's bytes with --size, as -v tells; the rest of the
  // input with --offset alone, from a file or a pipe.
  Result r = Tool({"-dv", "--offset=0x3e8", "--size=20000", "-o", "out", "box"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(used + " from offset 1000)\n"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFile(dir / "out"), Sample());
  r = RunTool({.args = {"-d", "--offset", "1000"}, .input = box});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Sample());
  r = RunTool({.args = {"-d", "--size=100"}, .input = stream});
  EXPECT_EQ(r.out, Bytes(sample.begin(), sample.begin() + 100));

  // A stream shorter than --size fails and leaves no output file.
  r = Tool({"-d", "--offset=1000", "--size=20001", "-o", "short", "box"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lzring: box: stream ends after 20000 of 20001 bytes (--size)\n");
  EXPECT_EQ(Listing(dir), (std::set<std::string>{"box", "out", "s"}));
  r = RunTool({.args = {"-d", "--offset=20000"}, .input = box});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("offset 20000 is past the end of the input"), std::string::npos);
}

TEST(Cli, HelpAndVersionGoToStdout) {
  const Result help = RunTool({.args = {"--help"}});
  EXPECT_EQ(help.status, 0);
  const std::string text(help.out.begin(), help.out.end());
  EXPECT_EQ(text.substr(0, 6), "Usage:");
  EXPECT_NE(text.find("standard output); not with -c\n"), std::string::npos) << text;
  const Result version = RunTool({.args = {"-V"}});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(std::string(version.out.begin(), version.out.end()), "lzring 1.0.0\n");
  // Text that cannot be written is a failure.
  for (const char* flag : {"--help", "-V"}) {
    const Result full = RunTool({.args = {flag}, .stdout_path = "/dev/full"});
    EXPECT_EQ(full.status, 1) << flag;
    EXPECT_EQ(full.err, "lzring: stdout: No space left on device\n") << flag;
  }
}

TEST(Cli, RefusesTerminalsUnlessForced) {
  Result r = RunTool({.input = Sample(), .stdout_tty = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lzring: stdout: compressed data not written to a terminal (use -f to force)\n");
  r = RunTool({.args = {"-f"}, .input = Bytes{'x'}, .stdout_tty = true});
  EXPECT_EQ(r.status, 0) << r.err;
  r = RunTool({.args = {"-d"}, .stdin_tty = true});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lzring: stdin: compressed data not read from a terminal (use -f to force)\n");
}

TEST(Cli, FailedWriteLeavesNoFileAndKeepsInput) {
  TempDir dir;
  WriteFile(dir / "big", test::RandomBytes(100000, 12));
  // A file size limit makes the write fail part way through.
  const Result r = RunTool({.args = {"--rm", "big"}, .cwd = dir.path(), .file_size_limit = 16384});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lzring: big.lzr: File too large\n");
  EXPECT_EQ(Listing(dir), std::set<std::string>{"big"});

  const Result full =
      RunTool({.args = {"-c", "big"}, .cwd = dir.path(), .stdout_path = "/dev/full"});
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.err, "lzring: stdout: No space left on device\n");
}

// Why the user `uid` cannot reach each of `paths` (run a file, enter a
// directory), or "" when it can: where the temporary directory is, say, in
// a home it may not enter.
std::string Unreachable(uid_t uid, const std::vector<std::string>& paths) {
  int fds[2];
  if (::pipe(fds) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::string why;
    if (::setgid(uid) != 0 || ::setuid(uid) != 0) why = "cannot become user " + std::to_string(uid);
    for (const std::string& path : paths) {
      if (why.empty() && ::access(path.c_str(), X_OK) != 0) {
        why = "user " + std::to_string(uid) + " cannot reach " + path;
      }
    }
    if (!why.empty()) (void)!::write(fds[1], why.data(), why.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string why;
  char buf[512];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) {
    why.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  Wait(pid);
  return why;
}

// --rm removes the input only once the output's data and its name are on
// disk (fsync of the file, then of the directory), and only if the input did
// not change while it was read. In a directory that may be written and
// searched but not read (mode 0300, as a user other than root), the name is
// made durable by syncing the file system through the new file. An input
// that changes while it is read is warned about, --rm or not.
TEST(Cli, RemovesInputOnlyOnceItsOutputIsDurable) {
  constexpr uid_t kNobody = 65534;
  const struct {
    std::vector<std::string> args;
    std::string shim;
    uid_t uid;
    int status;
    std::string err;
    std::set<std::string> listing;
    std::string log;
  } rows[] = {
      {{"--rm", "a"}, "", 0, 0, "", {"a.lzr"}, "fsync file\nname a.lzr\nfsync dir\nunlink a\n"},
      {{"--rm", "a"},
       "no_tmpfile",
       0,
       0,
       "",
       {"a.lzr"},
       "fsync file\nname a.lzr\nfsync dir\nunlink a\n"},
      {{"--rm", "a"},
       "",
       kNobody,
       0,
       "",
       {"a.lzr"},
       "fsync file\nname a.lzr\nfsync dir\nsyncfs\nunlink a\n"},
      {{"--rm", "a"},
       "grow_input",
       0,
       2,
       "lzring: a: changed while it was read -- not removed\n",
       {"a", "a.lzr"},
       "fsync file\nname a.lzr\nfsync dir\n"},
      {{"a"},
       "grow_input",
       0,
       2,
       "lzring: a: changed while it was read\n",
       {"a", "a.lzr"},
       "name a.lzr\n"},
  };
  for (const auto& row : rows) {
    if (row.uid != 0 && ::geteuid() != 0) continue;  // needs root to become another user
    TempDir dir;
    TempDir logs;
    // The other user runs copies of the tool and the shim in a directory it
    // may enter: the build tree may be in one it may not (a clone in root's
    // home, mode 0700).
    TempDir reach;
    std::string program;
    std::string shim_library;
    WriteFile(dir / "a", Sample());
    const Bytes expected = EncodeWithC(dir / "a");
    if (row.uid != 0) {
      ASSERT_EQ(::chown((dir / "a").c_str(), row.uid, row.uid), 0);
      ASSERT_EQ(::chown(dir.path().c_str(), row.uid, row.uid), 0);
      ASSERT_EQ(::chmod(dir.path().c_str(), 0300), 0);
      ASSERT_EQ(::chmod(logs.path().c_str(), 0777), 0);
      ASSERT_EQ(::chmod(reach.path().c_str(), 0755), 0);
      program = reach / "lzring";
      shim_library = reach / "shim.so";
      fs::copy_file(LZRING_CLI, program);
      fs::copy_file(LZRING_CLI_SHIM, shim_library);
      ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
      ASSERT_EQ(::chmod(shim_library.c_str(), 0755), 0);
      if (const std::string why = Unreachable(row.uid, {program, shim_library, dir.path()});
          !why.empty()) {
        std::printf("SKIPPED the row as another user: %s\n", why.c_str());
        continue;
      }
    }
    const std::string shim = (row.shim.empty() ? "" : row.shim + ",") + "log=" + (logs / "log");
    const Result r = RunTool({.args = row.args,
                              .cwd = dir.path(),
                              .shim = shim,
                              .uid = row.uid,
                              .program = program,
                              .shim_library = shim_library});
    const std::string name = row.shim + (row.uid != 0 ? " as another user" : "");
    EXPECT_EQ(r.status, row.status) << name;
    EXPECT_EQ(r.err, row.err) << name;
    EXPECT_EQ(Listing(dir), row.listing) << name;
    // What was read: the input as it was, or as it grew while read.
    EXPECT_EQ(ReadFile(dir / "a.lzr"), row.listing.count("a") ? EncodeWithC(dir / "a") : expected)
        << name;
    const Bytes log = ReadFile(logs / "log");
    EXPECT_EQ(std::string(log.begin(), log.end()), row.log) << name;
  }
}

// A FIFO input is opened as every program opens one: the open waits for the
// writer, however late it comes, and the whole stream is read (to the
// output -o names: a FIFO gets no output named after it).
TEST(Cli, ReadsAFifoWhole) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  WriteFile(dir / "plain", Sample());
  const Child child = Start(Invocation{.args = {"-o", "fifo.lzr", "fifo"}, .cwd = dir.path()});
  int status = -1;
  std::thread waiter([&] {
    status = Wait(child.pid);
    // Releases our open below if the tool never opened the FIFO.
    ::close(::open((dir / "fifo").c_str(), O_RDWR | O_CLOEXEC));
  });
  const int fd = ::open((dir / "fifo").c_str(), O_WRONLY | O_CLOEXEC);
  const Bytes data = Sample();
  for (std::size_t done = 0; fd >= 0 && done < data.size();) {
    const ssize_t n =
        ::write(fd, data.data() + done, std::min<std::size_t>(1000, data.size() - done));
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  if (fd >= 0) ::close(fd);
  waiter.join();
  for (const int f : {child.in_fd, child.out_fd, child.err_fd}) ::close(f);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadFile(dir / "fifo.lzr"), EncodeWithC(dir / "plain"));
}

TEST(Cli, ListsSizesAndRatio) {
  TempDir dir;
  WriteFile(dir / "a", Sample());
  WriteFile(dir / "b", Bytes(5000, 'z'));
  ASSERT_EQ(Tool({"a", "b"}, dir.path()).status, 0);
  const Result r = Tool({"-l", "a.lzr", "b.lzr"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string a = std::to_string(ReadFile(dir / "a.lzr").size());
  const std::string b = std::to_string(ReadFile(dir / "b.lzr").size());
  const std::string text(r.out.begin(), r.out.end());
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "  compressed  uncompressed  ratio  uncompressed_name");
  EXPECT_NE(text.find(a + "         20000"), std::string::npos) << text;
  EXPECT_NE(text.find(b + "          5000  "), std::string::npos) << text;
  EXPECT_NE(text.find("(totals)"), std::string::npos) << text;
}

// Threads that cannot be started (the shim lets only the first N start; the
// first is the signal watcher) leave the work to those that could, or to the
// main thread.
TEST(Cli, ParallelJobsGiveTheSameBytes) {
  for (const std::string shim : {"", "threads=0", "threads=1", "threads=2"}) {
    TempDir dir;
    std::vector<std::string> args{"-T2"};
    for (int k = 0; k < 6; ++k) {
      const std::string name = "f" + std::to_string(k);
      WriteFile(dir / name, test::TextBytes(30000 + 1000 * k, 20 + k));
      args.push_back(name);
    }
    args.push_back("missing");  // a failure among them does not stop the others
    const Result r = RunTool({.args = args, .cwd = dir.path(), .shim = shim});
    EXPECT_EQ(r.status, 1) << shim;
    EXPECT_EQ(r.err, "lzring: missing: No such file or directory\n") << shim;
    for (int k = 0; k < 6; ++k) {
      const std::string name = dir / ("f" + std::to_string(k));
      EXPECT_EQ(ReadFile(name + ".lzr"), EncodeWithC(name)) << name << ' ' << shim;
    }
  }
}

// Whether the tool `pid` has a file open in `dir`: its output, named or not.
bool WritesIn(pid_t pid, const TempDir& dir) {
  const std::string prefix = dir.path().string() + "/";
  std::error_code ec;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    if (fs::read_symlink(fd.path(), ec).string().starts_with(prefix)) return true;
  }
  return false;
}

// A signal ends the tool and removes its temporary file, unless whoever
// started the tool ignores that signal (nohup, a background job of a
// script): it then stays ignored and the output is completed. Rows with a
// shim give the output a temporary name (no O_TMPFILE); without one, the
// output has no name while written, -f or not, so that even the signals
// nothing can catch leave nothing behind.
TEST(Cli, SignalsRemoveTheTemporaryFileUnlessIgnored) {
  const struct {
    int sig;
    bool ignored;
    std::string shim = "no_tmpfile";
    std::vector<std::string> args = {"-o", "out.lzr"};
  } rows[] = {{SIGTERM, false},
              {SIGINT, false},
              {SIGHUP, true},
              {SIGINT, true},
              {SIGPIPE, false},
              {SIGXCPU, false},
              {SIGKILL, false, "", {"-f", "-o", "out.lzr"}},
              {SIGQUIT, false, "", {"-f", "-o", "out.lzr"}},
              {SIGUSR1, false, "", {"-f", "-o", "out.lzr"}},
              {SIGALRM, false, "", {"-f", "-o", "out.lzr"}}};
  for (const auto& row : rows) {
    TempDir dir;
    const Child child =
        Start(Invocation{.args = row.args,
                         .cwd = dir.path(),
                         .shim = row.shim,
                         .ignored = row.ignored ? std::vector<int>{row.sig} : std::vector<int>{}});
    // The tool creates its output file, then blocks reading the pipe.
    const Bytes chunk = Sample();
    ASSERT_EQ(::write(child.in_fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
    while (Listing(dir).empty() && !WritesIn(child.pid, dir)) {
      ASSERT_EQ(::waitpid(child.pid, nullptr, WNOHANG), 0) << "the tool ended before its output";
      std::this_thread::yield();
    }
    ASSERT_EQ(::kill(child.pid, row.sig), 0);
    // The end of the input lets a tool that goes on finish; one that does
    // not must end without it.
    if (row.ignored) ::close(child.in_fd);
    EXPECT_EQ(Wait(child.pid), row.ignored ? 0 : 128 + row.sig) << row.sig;
    if (!row.ignored) ::close(child.in_fd);
    EXPECT_EQ(Listing(dir),
              row.ignored ? std::set<std::string>{"out.lzr"} : std::set<std::string>{})
        << row.sig;
    ::close(child.out_fd);
    ::close(child.err_fd);
  }
}

}  // namespace
}  // namespace lzring
