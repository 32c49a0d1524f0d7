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
#include <filesystem>
#include <set>
#include <string>
#include <thread>
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
  std::string shim{};          // LZRING_SHIM words for the preloaded shim.c
  std::vector<int> ignored{};  // signals the tool starts with ignored
  uid_t uid = 0;               // run as this user (and group) when not 0
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
  if ((run.stdin_tty || run.stdout_tty) &&
      ::openpty(&tty_master, &tty_slave, nullptr, nullptr, nullptr) != 0) {
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
    ::dup2(err_pipe[1], 2);
    const rlimit limit{run.file_size_limit, run.file_size_limit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const rlimit no_core{0, 0};
    ::setrlimit(RLIMIT_CORE, &no_core);
    if (!run.cwd.empty() && ::chdir(run.cwd.c_str()) != 0) ::_exit(126);
    if (run.uid != 0 && (::setgid(run.uid) != 0 || ::setuid(run.uid) != 0)) ::_exit(126);
    for (const int sig : run.ignored) ::signal(sig, SIG_IGN);
    if (!run.shim.empty()) {
      ::setenv("LD_PRELOAD", LZRING_CLI_SHIM, 1);
      ::setenv("LZRING_SHIM", run.shim.c_str(), 1);
      // A sanitizer build of the tool accepts a library loaded before its
      // runtime.
      ::setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    std::vector<char*> argv{const_cast<char*>(LZRING_CLI)};
    for (const std::string& a : run.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::closefrom(3);
    ::execv(LZRING_CLI, argv.data());
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

// Feeds stdin from a thread and drains stdout and stderr until both close.
Result RunTool(const Invocation& run) {
  const Child child = Start(run);
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

std::set<std::string> Listing(const TempDir& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    names.insert(entry.path().filename());
  return names;
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

struct Case {
  const char* name;
  std::vector<std::string> args{};
  int status;
  std::string err;  // expected on stderr, in full
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << c.name;
}

// Inputs prepared for every case: a.txt, b.txt.lzr (compressed), existing
// outputs c.txt + c.txt.lzr, a directory d, h.txt with a second hard link
// h2.txt, a symbolic link s.txt to a.txt, a FIFO p, a socket sock and,
// where device nodes can be made, a null device nulldev (never a system
// name: a tool that went wrong would remove it).
class Messages : public ::testing::TestWithParam<Case> {};

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
  const std::vector<std::string>& args = GetParam().args;
  if (!device && std::find(args.begin(), args.end(), "nulldev") != args.end()) {
    GTEST_SKIP() << "cannot make a device node here";
  }
  const Result r = Tool(GetParam().args, dir.path());
  EXPECT_EQ(r.status, GetParam().status);
  EXPECT_EQ(r.err, GetParam().err);
  EXPECT_TRUE(r.out.empty());
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
        // Refused before its open, which would wait for a writer.
        Case{"fifo", {"p"}, 2, "lzring: p: is not a regular file -- ignored (use -f to force)\n"},
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
        Case{"bad_size",
             {"-d", "--size=12k", "b.txt.lzr"},
             1,
             "lzring: invalid size '12k'\nTry 'lzring --help' for more information.\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// What the destination name is before the run, and what it must be after.
// kStdoutLink: a link to /proc/self/fd/1, with standard output a file;
// kSystemLink: a link into /dev that leads nowhere.
enum class Dest { kNone, kFile, kDanglingLink, kDevice, kFifo, kStdoutLink, kSystemLink };
enum class After {
  kCompressed,
  kOld,
  kOther,
  kDanglingLink,
  kDevice,
  kFifoGotCompressed,
  kFifoUntouched,
  kStdoutGotCompressed
};

struct OutputCase {
  const char* name;
  Dest before;
  std::vector<std::string> args;  // the input is the last
  std::string shim;
  int status;
  std::string err;
  After after;
  mode_t mode = 0640;  // of a compressed output
};

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
  TempDir dir;
  TempDir aside;  // a second name of the FIFO, out of the listing
  const std::string input = c.args.back();
  const std::string dest = input == kLongName ? dir / (kLongName + ".lzr") : dir / "a.lzr";
  WriteFile(dir / input, Sample());
  ::chmod((dir / input).c_str(), 0640);
  const Bytes compressed = EncodeWithC(dir / input);
  if (c.before == Dest::kFile) WriteFile(dest, test::FromText("old"));
  if (c.before == Dest::kDanglingLink) fs::create_symlink("nowhere", dest);
  if (c.before == Dest::kSystemLink) fs::create_symlink("/dev/lzring-nowhere", dest);
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
      RunTool({.args = c.args, .cwd = dir.path(), .stdout_path = stdout_path, .shim = c.shim});
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
        // A name of standard output is written as -c writes; a name into /dev
        // or /proc is never replaced.
        OutputCase{"stdout_link_forced",
                   Dest::kStdoutLink,
                   {"-f", "-o", "a.lzr", "a"},
                   "",
                   0,
                   "",
                   After::kStdoutGotCompressed},
        OutputCase{"system_link_forced",
                   Dest::kSystemLink,
                   {"-f", "a"},
                   "",
                   1,
                   "lzring: a.lzr: is in /dev or /proc; not replaced\n",
                   After::kDanglingLink},
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
  EXPECT_EQ(std::string(help.out.begin(), help.out.begin() + 6), "Usage:");
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
    WriteFile(dir / "a", Sample());
    const Bytes expected = EncodeWithC(dir / "a");
    if (row.uid != 0) {
      ASSERT_EQ(::chown((dir / "a").c_str(), row.uid, row.uid), 0);
      ASSERT_EQ(::chown(dir.path().c_str(), row.uid, row.uid), 0);
      ASSERT_EQ(::chmod(dir.path().c_str(), 0300), 0);
      ASSERT_EQ(::chmod(logs.path().c_str(), 0777), 0);
    }
    const std::string shim = (row.shim.empty() ? "" : row.shim + ",") + "log=" + (logs / "log");
    const Result r = RunTool({.args = row.args, .cwd = dir.path(), .shim = shim, .uid = row.uid});
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
// writer, however late it comes, and the whole stream is read.
TEST(Cli, ReadsAFifoWhole) {
  TempDir dir;
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  WriteFile(dir / "plain", Sample());
  const Child child = Start(Invocation{.args = {"-f", "fifo"}, .cwd = dir.path()});
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
