// The lzring tool as a user meets it: exit statuses, outputs (compared with
// what _Encode writes), messages on standard error, terminals, failures that
// must leave no partial file, and interruption.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "lzring.h"
#include "test_util.h"

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
    if (!run.cwd.empty() && ::chdir(run.cwd.c_str()) != 0) ::_exit(126);
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
  const std::string out = path + ".reference";
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
  const Result listed = RunTool({.args = {"-l"}, .input = packed.out});
  EXPECT_NE(std::string(listed.out.begin(), listed.out.end()).find(std::to_string(Sample().size())),
            std::string::npos);
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
// outputs c.txt + c.txt.lzr, and a directory d.
class Messages : public ::testing::TestWithParam<Case> {};

TEST_P(Messages, ExitStatusAndStderr) {
  TempDir dir;
  WriteFile(dir / "a.txt", Sample());
  WriteFile(dir / "b.txt.lzr", Bytes{0x01, 0x62});
  WriteFile(dir / "c.txt", Sample());
  WriteFile(dir / "c.txt.lzr", Bytes{1, 2, 3});
  fs::create_directory(dir / "d");
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

TEST(Cli, RemovesInputOnlyAfterSuccess) {
  TempDir dir;
  WriteFile(dir / "a", Sample());
  const Bytes expected = EncodeWithC(dir / "a");
  const Result r = Tool({"--rm", "a"}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Listing(dir), std::set<std::string>{"a.lzr"});
  EXPECT_EQ(ReadFile(dir / "a.lzr"), expected);
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

TEST(Cli, ParallelJobsGiveTheSameBytes) {
  TempDir dir;
  std::vector<std::string> args{"-T2"};
  for (int k = 0; k < 6; ++k) {
    const std::string name = "f" + std::to_string(k);
    WriteFile(dir / name, test::TextBytes(30000 + 1000 * k, 20 + k));
    args.push_back(name);
  }
  args.push_back("missing");  // a failure among them does not stop the others
  const Result r = Tool(args, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "lzring: missing: No such file or directory\n");
  for (int k = 0; k < 6; ++k) {
    const std::string name = dir / ("f" + std::to_string(k));
    EXPECT_EQ(ReadFile(name + ".lzr"), EncodeWithC(name)) << name;
  }
}

TEST(Cli, SigtermRemovesTheTemporaryFile) {
  TempDir dir;
  const Child child = Start(Invocation{.args = {"-o", "out.lzr"}, .cwd = dir.path()});
  // The tool creates its temporary file, then blocks reading the pipe.
  const Bytes chunk = Sample();
  ASSERT_EQ(::write(child.in_fd, chunk.data(), chunk.size()), static_cast<ssize_t>(chunk.size()));
  while (Listing(dir).empty()) {
    ASSERT_EQ(::waitpid(child.pid, nullptr, WNOHANG), 0) << "the tool ended before its output";
    std::this_thread::yield();
  }
  ASSERT_EQ(::kill(child.pid, SIGTERM), 0);
  EXPECT_EQ(Wait(child.pid), 128 + SIGTERM);
  EXPECT_TRUE(Listing(dir).empty());
  for (const int fd : {child.in_fd, child.out_fd, child.err_fd}) ::close(fd);
}

}  // namespace
}  // namespace lzring
