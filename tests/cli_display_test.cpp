// korvelt-cli's live display on a terminal: every line fits the terminal's width, a resize is
// followed, more units than rows leave a summary line, and no redraw leaves stale copies.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <iostream>

#include "tests/support/program_rig.h"
#include "tests/support/vt_screen.h"

extern char** environ;

namespace korvelt {
namespace {

using namespace std::chrono_literals;
using testing::ProgramRig;
using testing::VtScreen;

// korvelt-cli with its standard error on a pseudo-terminal of `columns` x `rows`, read to its
// end (at most `bound`); `whileRunning` sees each piece of output as it comes.
struct TerminalRun {
  std::string output;
  int exitCode = -1;
};
TerminalRun RunOnTerminal(const ProgramRig& rig, const std::vector<std::string>& args, int columns,
                          int rows, const std::function<void(const std::string&, int)>& piece,
                          std::chrono::seconds bound = 120s) {
  int master = -1, slave = -1;
  winsize size{};
  size.ws_col = static_cast<unsigned short>(columns);
  size.ws_row = static_cast<unsigned short>(rows);
  EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
  std::vector<std::string> all = {KORVELT_CLI_PATH, "--port-dir", rig.PortDir(), "-C",
                                  rig.work.path().string()};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = {"TERM=xterm"};
  for (char** e = environ; *e; ++e)
    if (std::string(*e).rfind("TERM=", 0) != 0) env.push_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, slave, 1);
  posix_spawn_file_actions_adddup2(&actions, slave, 2);
  posix_spawn_file_actions_addclose(&actions, master);
  pid_t pid = -1;
  ::posix_spawn(&pid, all[0].c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(slave);
  TerminalRun run;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  int status = 0;
  bool ended = false;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 50) > 0) {
      char buffer[4096];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) {
        const std::string text(buffer, static_cast<std::size_t>(n));
        run.output += text;
        if (piece) piece(text, master);
        continue;
      }
    }
    if (ended) break;  // its last output is read
    ended = ::waitpid(pid, &status, WNOHANG) == pid;
  }
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  ::close(master);
  run.exitCode = ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// The longest stretch of characters written between two line starts (escapes do not show).
std::size_t WidestStretch(const std::string& output) {
  std::size_t widest = 0, stretch = 0;
  for (std::size_t i = 0; i < output.size(); ++i) {
    const char c = output[i];
    if (c == '\x1b') {
      while (i < output.size() && !std::isalpha(static_cast<unsigned char>(output[i]))) ++i;
      continue;
    }
    stretch = c == '\r' || c == '\n' ? 0 : stretch + 1;
    widest = std::max(widest, stretch);
  }
  return widest;
}

int LinesStartingWith(const std::vector<std::string>& lines, const std::string& start) {
  int n = 0;
  for (const auto& line : lines) n += line.rfind(start, 0) == 0;
  return n;
}

TEST(LiveDisplay, UnitLinesFitEightyColumnsAndFollowAResize) {
  ProgramRig rig;
  rig.Serve("3=generator,4=generator,5=generator,6=generator", {}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(48 * 1024, 1));
  VtScreen screen(80, 24);
  int worstCopies = 0;
  std::string afterResize;
  bool resized = false;
  const auto started = std::chrono::steady_clock::now();
  const TerminalRun run =
      RunOnTerminal(rig, {"--units", "3,4,5,6", "generator-fpga"}, 80, 24,
                    [&](const std::string& text, int master) {
                      screen.Feed(text);
                      if (resized) afterResize += text;
                      // Each unit's live line is on the screen once, however often it was redrawn.
                      const auto lines = screen.Lines();
                      for (const char* unit : {"COM3   ", "COM4   ", "COM5   ", "COM6   "})
                        worstCopies = std::max(worstCopies, LinesStartingWith(lines, unit));
                      if (!resized && std::chrono::steady_clock::now() - started > 2s) {
                        std::cout << "The screen at 80 columns, midway:\n" << screen.Text();
                        winsize narrower{};
                        narrower.ws_col = 60;
                        narrower.ws_row = 24;
                        ::ioctl(master, TIOCSWINSZ, &narrower);
                        screen.Resize(60);
                        resized = true;
                      }
                    });
  EXPECT_EQ(run.exitCode, 0) << run.output;
  ASSERT_TRUE(resized) << "the run was over before the resize";
  EXPECT_LE(worstCopies, 1) << screen.Text();
  // Before the resize nothing reached the 80th column; after it, once the screen was drawn
  // afresh, nothing reached the 60th.
  const std::string before = run.output.substr(0, run.output.size() - afterResize.size());
  EXPECT_LE(WidestStretch(before), 79u);
  const std::size_t fresh = afterResize.find("\x1b[2J");
  ASSERT_NE(fresh, std::string::npos) << "the screen was not drawn afresh after the resize";
  const std::string table = "\nunit  kind";  // the closing table is as wide as it is
  EXPECT_LE(WidestStretch(afterResize.substr(fresh, afterResize.find(table) - fresh)), 59u);
}

TEST(LiveDisplay, MoreUnitsThanRowsLeaveASummaryLine) {
  ProgramRig rig;
  std::string ports;
  for (int com = 1; com <= 10; ++com)
    ports += (com > 1 ? "," : "") + std::to_string(com) + "=generator";
  rig.Serve(ports, {}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(16 * 1024, 2));
  VtScreen screen(80, 8);
  bool summary = false;
  int worstCopies = 0;
  const TerminalRun run =
      RunOnTerminal(rig, {"--units", "1,2,3,4,5,6,7,8,9,10", "generator-fpga"}, 80, 8,
                    [&](const std::string& text, int) {
                      screen.Feed(text);
                      const auto lines = screen.Lines();
                      summary = summary || LinesStartingWith(lines, "... and ") == 1;
                      worstCopies = std::max(worstCopies, LinesStartingWith(lines, "COM1   "));
                    });
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(summary) << run.output;
  EXPECT_LE(worstCopies, 1) << screen.Text();
  EXPECT_LE(WidestStretch(run.output.substr(0, run.output.find("\nunit  kind"))), 79u);
}

TEST(LiveDisplay, TheSingleUnitBarFitsEightyColumns) {
  ProgramRig rig;
  rig.Serve("3=generator", {}, "115200");
  rig.work.Write("data/GENERATOR_FPGA.bin", testing::PatternImage(48 * 1024, 3));
  VtScreen screen(80, 24);
  int worstCopies = 0;
  const TerminalRun run = RunOnTerminal(
      rig, {"--port", "3", "generator-fpga"}, 80, 24, [&](const std::string& text, int) {
        screen.Feed(text);
        worstCopies = std::max(worstCopies, LinesStartingWith(screen.Lines(), "generator-fpga ["));
      });
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_LE(WidestStretch(run.output), 79u) << run.output;
  EXPECT_EQ(worstCopies, 1) << screen.Text();
}

}  // namespace
}  // namespace korvelt
