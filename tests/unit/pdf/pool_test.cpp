#include "pdf/pool.hpp"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <typeinfo>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

#include "host/logger.hpp"
#include "pdf/worker_process.hpp"
#include "support/log_recorder.hpp"
#include "support/run.hpp"

namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using vekt::pdf::Pool;
using vekt::pdf::PoolConfig;
using vekt::pdf::RenderError;
using vekt::pdf::RenderAbandoned;
using vekt::pdf::RenderTimeout;
using vekt::pdf::WorkerUnavailable;

// Runs one render to its end on a loop of its own.
std::string render(Pool& pool, std::string css, std::string html, std::function<bool()> caller_gone = {}) {
  asio::io_context io;
  return vekt::testing::run(io, pool.render(std::move(css), std::move(html), std::move(caller_gone)));
}

// The pool's workers once `ready` holds for them (waits at most 10 s).
std::vector<int> pids_when(const Pool& pool, const std::function<bool(const std::vector<int>&)>& ready) {
  std::vector<int> pids = pool.worker_pids();
  for (int i = 0; i < 500 && !ready(pids); ++i) {
    std::this_thread::sleep_for(20ms);
    pids = pool.worker_pids();
  }
  return pids;
}

PoolConfig fake(unsigned workers, std::chrono::milliseconds timeout = 10s) {
  PoolConfig c;
  c.workers = workers;
  c.timeout = timeout;
  c.worker_script = VEKT_FAKE_PDF_WORKER;
  return c;
}

template <class E>
std::string failure_of(Pool& pool, std::string css) {
  try {
    render(pool, std::move(css), "page");
  } catch (const E& e) {
    return e.what();
  }
  ADD_FAILURE() << "no " << typeid(E).name();
  return "";
}

TEST(PdfPool, RendersWithWeasyPrint) {
  PoolConfig c;
  c.workers = 1;
  Pool pool(c);
  EXPECT_TRUE(std::filesystem::exists(c.worker_script)) << c.worker_script;
  std::string pdf = render(pool, "@page { size: A4; margin: 0; }", "<p>Deed plan</p>");
  EXPECT_TRUE(pdf.starts_with("%PDF-")) << pdf.substr(0, 20);
  EXPECT_NE(pdf.find("%%EOF"), std::string::npos);
}

TEST(PdfPool, RendererErrorsComeBackAndTheWorkerStays) {
  Pool pool(fake(1));
  const std::string pid = render(pool, "pid", "");
  EXPECT_EQ(failure_of<RenderError>(pool, "error ValueError: bad page"), "PDF rendering failed: ValueError: bad page");
  EXPECT_EQ(render(pool, "pid", ""), pid);
}

TEST(PdfPool, RenderPastTheLimitKillsTheWorkerAndTheNextOneWorks) {
  Pool pool(fake(1, 400ms));
  const std::string pid = render(pool, "pid", "");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(failure_of<RenderTimeout>(pool, "sleep 30"), "PDF rendering took longer than 0.4 s");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(::kill(std::stoi(pid), 0), -1) << "the worker that overran still runs";
  EXPECT_EQ(render(pool, "echo", "next"), "next");
  EXPECT_NE(render(pool, "pid", ""), pid);
}

TEST(PdfPool, WorkerDeathsAndBrokenAnswersFailOnlyTheirRequest) {
  Pool pool(fake(1));
  EXPECT_EQ(failure_of<WorkerUnavailable>(pool, "exit"), "PDF worker died while rendering (exited with status 3)");
  EXPECT_EQ(render(pool, "echo", "after exit"), "after exit");
  EXPECT_EQ(failure_of<WorkerUnavailable>(pool, "wrong-id"), "PDF worker answered out of step");
  EXPECT_EQ(render(pool, "echo", "after wrong id"), "after wrong id");
}

TEST(PdfPool, WorkerKilledFromOutsideIsReplaced) {
  Pool pool(fake(1));
  const int pid = std::stoi(render(pool, "pid", ""));
  ASSERT_EQ(pool.worker_pids(), std::vector<int>{pid});
  ASSERT_EQ(::kill(pid, SIGKILL), 0);
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(render(pool, "echo", "still here"), "still here");
  const auto pids = pool.worker_pids();
  ASSERT_EQ(pids.size(), 1u);
  EXPECT_NE(pids[0], pid);
}

// SIGINT and SIGTERM sent to the server's whole process group leave its workers rendering: the
// server lets the documents in hand finish, and ends its workers itself.
TEST(PdfPool, WorkersOutliveTheStopSignalsOfTheirGroup) {
  Pool pool(fake(1));
  const std::string pid = render(pool, "pid", "");
  for (int sig : {SIGINT, SIGTERM}) ASSERT_EQ(::kill(std::stoi(pid), sig), 0);
  EXPECT_EQ(render(pool, "sleep 0.3", "page"), "page");
  EXPECT_EQ(render(pool, "pid", ""), pid);
}

TEST(PdfPool, WorkersRunAtTheirNiceness) {
  PoolConfig c = fake(1);
  c.nice = 7;
  Pool pool(c);
  const int pid = std::stoi(render(pool, "pid", ""));
  errno = 0;
  EXPECT_EQ(::getpriority(PRIO_PROCESS, static_cast<id_t>(pid)), ::getpriority(PRIO_PROCESS, 0) + 7);
  EXPECT_EQ(errno, 0);
}

TEST(PdfPool, MemoryIsCapped) {
  PoolConfig c = fake(1);
  c.memory_limit = std::size_t{256} << 20;
  Pool pool(c);
  EXPECT_EQ(failure_of<RenderError>(pool, "alloc 1024"), "PDF rendering failed: MemoryError");
  EXPECT_EQ(render(pool, "alloc 16", "small"), "small");
}

TEST(PdfPool, AWorkerThatCannotStartFailsEveryWaitingRequest) {
  PoolConfig c = fake(1);
  c.worker_script = "/nonexistent/pdf_worker.py";
  Pool pool(c);
  std::vector<std::thread> threads;
  std::atomic<int> failed{0};
  for (int i = 0; i < 3; ++i)
    threads.emplace_back([&] {
      try {
        render(pool, "echo", "x");
      } catch (const RenderError& e) {
        if (std::string(e.what()).find("could not start (exited with status 2)") != std::string::npos) ++failed;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failed, 3);
}

// The descriptors this process holds open.
std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return fds;
  while (const dirent* e = ::readdir(dir))
    if (e->d_name[0] != '.') fds.insert(std::stoi(e->d_name));
  fds.erase(::dirfd(dir));
  ::closedir(dir);
  return fds;
}

// A child of this process that has ended and was never reaped.
bool zombie_child() {
  siginfo_t info{};
  return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

// While it lives, this process may open `n` more descriptors and no more.
class DescriptorsLeft {
 public:
  explicit DescriptorsLeft(int n) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    const std::set<int> taken = open_fds();
    rlim_t limit = 0;
    for (int free = 0; free < n; ++limit)
      if (!taken.contains(static_cast<int>(limit))) ++free;
    rlimit lowered = saved_;
    lowered.rlim_cur = limit;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorsLeft() { ::setrlimit(RLIMIT_NOFILE, &saved_); }

 private:
  rlimit saved_{};
};

// A worker that cannot start (no such interpreter, a command that exits at once, no descriptors
// left for its second pipe) fails the render and leaves no descriptor open and no child unreaped,
// however often the pool tries again.
TEST(PdfPool, AWorkerThatFailsToStartLeavesNoDescriptorAndNoChild) {
  struct Case {
    const char* python;
    const char* exit;
  };
  for (const Case& c : {Case{"/nonexistent/python3", "exited with status 127"}, Case{"/bin/false", "exited with status 1"}}) {
    SCOPED_TRACE(c.python);
    const std::set<int> before = open_fds();
    {
      PoolConfig config = fake(1);
      config.python = c.python;
      config.warm_workers = 0;
      Pool pool(config);
      const std::string failure = failure_of<WorkerUnavailable>(pool, "echo");
      EXPECT_NE(failure.find(std::string("could not start (") + c.exit + ")"), std::string::npos) << failure;
    }
    EXPECT_FALSE(zombie_child());
    EXPECT_EQ(open_fds(), before);
  }
  const std::set<int> before = open_fds();
  std::string out_of_fds;
  {
    DescriptorsLeft two(2);  // the first pipe opens, the second cannot
    try {
      vekt::pdf::spawn_worker(fake(1));
    } catch (const WorkerUnavailable& e) {
      out_of_fds = e.what();
    }
  }
  EXPECT_EQ(out_of_fds, "PDF worker: pipe: Too many open files");
  EXPECT_EQ(open_fds(), before);
  EXPECT_FALSE(zombie_child());
}

// A worker that dies under a page costs the page nothing: it is rendered on a fresh worker.
TEST(PdfPool, ARenderWhoseWorkerDiesIsRunOnceMoreOnAnotherWorker) {
  for (unsigned workers : {1u, 2u}) {
    SCOPED_TRACE(workers);
    Pool pool(fake(workers));
    const auto marker = std::filesystem::temp_directory_path() / ("vekt-exit-once-" + std::to_string(::getpid()));
    std::filesystem::remove(marker);
    EXPECT_EQ(render(pool, "exit-once " + marker.string(), "second try"), "second try");
    EXPECT_TRUE(std::filesystem::exists(marker)) << "the first worker did not die";
    std::filesystem::remove(marker);
  }
}

TEST(PdfPool, TheFirstWorkerStartsWithThePoolAndAnIdleOneThatDiesIsReplacedAtOnce) {
  Pool pool(fake(1));
  const auto warm = pids_when(pool, [](const auto& p) { return p.size() == 1; });
  ASSERT_EQ(warm.size(), 1u) << "no worker was started with the pool";
  EXPECT_EQ(render(pool, "pid", ""), std::to_string(warm[0]));  // the first page went to it
  ASSERT_EQ(::kill(warm[0], SIGKILL), 0);
  const auto after = pids_when(pool, [&](const auto& p) { return p.size() == 1 && p[0] != warm[0]; });
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0], warm[0]) << "the dead worker was not replaced without a render asking";
  EXPECT_EQ(render(pool, "pid", ""), std::to_string(after[0]));
}

// A worker is retired after its share of renders, or after a render that leaves it larger than
// its memory allowance; a fresh one takes its place.
TEST(PdfPool, WorkersAreReplacedAfterTheirDocumentsOrPastTheirMemory) {
  struct Case {
    unsigned documents;
    std::size_t resident;
    int renders_per_worker;
  };
  for (const Case& c : {Case{3, 0, 3}, Case{0, 1, 1}, Case{0, std::size_t{1} << 40, 0}}) {
    SCOPED_TRACE(std::to_string(c.documents) + " documents, " + std::to_string(c.resident) + " bytes");
    PoolConfig config = fake(1);
    config.max_documents = c.documents;
    config.max_resident = c.resident;
    Pool pool(config);
    std::vector<std::string> pids;
    for (int i = 0; i < 6; ++i) pids.push_back(render(pool, "pid", ""));
    for (int i = 1; i < 6; ++i) {
      const bool fresh = c.renders_per_worker != 0 && i % c.renders_per_worker == 0;
      EXPECT_EQ(pids[i] != pids[i - 1], fresh) << "render " << i;
    }
    const auto left = pids_when(pool, [](const auto& p) { return p.size() == 1; });
    EXPECT_EQ(left.size(), 1u) << "the retired worker's place was not kept warm";
  }
}

// A page whose caller has gone when a worker falls free for it is not rendered, and the worker
// stays for the next page.
TEST(PdfPool, APageWhoseCallerHasGoneIsNotRendered) {
  Pool pool(fake(1));
  const std::string pid = render(pool, "pid", "");
  EXPECT_THROW(render(pool, "exit", "never", [] { return true; }), RenderAbandoned);
  EXPECT_EQ(render(pool, "pid", "", [] { return false; }), pid);
}

// Eight requests from four event loops on two workers: each gets its own page back, and they
// queue (each takes 0.3 s, so two workers need at least four rounds).
TEST(PdfPool, RequestsBeyondTheWorkersWaitAndGetTheirOwnAnswers) {
  Pool pool(fake(2));
  std::vector<std::thread> loops;
  std::atomic<int> right{0};
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < 4; ++t)
    loops.emplace_back([&, t] {
      asio::io_context io;
      for (int k = 0; k < 2; ++k) {
        const std::string page = "page " + std::to_string(t) + "/" + std::to_string(k);
        asio::co_spawn(io, pool.render("sleep 0.3", page), [&, page](std::exception_ptr e, std::string r) {
          if (!e && r == page) ++right;
        });
      }
      io.run();
    });
  for (auto& t : loops) t.join();
  EXPECT_EQ(right, 8);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1200ms);
  EXPECT_LE(pool.worker_pids().size(), 2u);
}

// How the fake workers start from now on (see fake_worker.py), while this lives; it must outlive
// the pools that start them.
class StartMode {
 public:
  explicit StartMode(const std::string& mode)
      : path_(std::filesystem::temp_directory_path() / ("vekt-fake-start-" + std::to_string(::getpid()))) {
    set(mode);
    ::setenv("VEKT_FAKE_WORKER_START", path_.c_str(), 1);
  }
  ~StartMode() {
    ::unsetenv("VEKT_FAKE_WORKER_START");
    std::filesystem::remove(path_);
  }
  StartMode(const StartMode&) = delete;
  StartMode& operator=(const StartMode&) = delete;
  void set(const std::string& mode) const { std::ofstream(path_) << mode; }

 private:
  std::filesystem::path path_;
};

// A worker killed for its time limit, or dead under a page, makes way for a fresh one at once: the
// next page does not wait for a start.
TEST(PdfPool, AWorkerKilledForItsTimeLimitOrDeadUnderAPageIsReplacedAtOnce) {
  for (const char* css : {"sleep 30", "exit"}) {
    SCOPED_TRACE(css);
    Pool pool(fake(1, 400ms));
    const std::string first = render(pool, "pid", "");
    EXPECT_THROW(render(pool, css, "page"), RenderError);
    const auto after = pids_when(pool, [&](const auto& p) { return p.size() == 1 && std::to_string(p[0]) != first; });
    ASSERT_EQ(after.size(), 1u) << "no worker runs until a page asks for one";
    EXPECT_EQ(render(pool, "pid", ""), std::to_string(after[0]));
  }
}

// A worker that does not get ready within the start limit is killed, and another takes its place
// without a page asking.
TEST(PdfPool, AWorkerNotReadyWithinTheStartLimitIsKilledAndReplaced) {
  StartMode mode("hang-once");
  PoolConfig config = fake(1);
  config.start_timeout = 300ms;
  Pool pool(config);
  const auto hung = pids_when(pool, [](const auto& p) { return p.size() == 1; });
  ASSERT_EQ(hung.size(), 1u);
  const auto fresh = pids_when(pool, [&](const auto& p) { return p.size() == 1 && p[0] != hung[0]; });
  ASSERT_EQ(fresh.size(), 1u) << "the worker that hung was not replaced";
  EXPECT_EQ(::kill(hung[0], 0), -1) << "the worker that hung still runs";
  EXPECT_EQ(render(pool, "pid", ""), std::to_string(fresh[0]));
}

// A page waits for a worker no longer than its own time limit, whether the workers are busy or
// cannot get ready: past it, RenderTimeout (504).
TEST(PdfPool, NoPageWaitsForAWorkerBeyondItsTimeLimit) {
  {
    StartMode mode("hang");
    Pool pool(fake(1, 500ms));  // the start limit stays far beyond the page's
    EXPECT_EQ(failure_of<RenderTimeout>(pool, "echo"), "no PDF worker was free within 0.5 s");
  }
  // Three pages of 0.7 s on one worker: the third cannot have it before 1.4 s.
  Pool pool(fake(1, 1s));
  render(pool, "echo", "warm");
  std::vector<std::thread> pages;
  std::atomic<int> served{0}, past_limit{0}, other{0};
  for (int i = 0; i < 3; ++i)
    pages.emplace_back([&] {
      try {
        render(pool, "sleep 0.7", "page");
        ++served;
      } catch (const RenderTimeout& e) {
        ++(std::string(e.what()) == "no PDF worker was free within 1 s" ? past_limit : other);
      } catch (...) {
        ++other;
      }
    });
  for (auto& t : pages) t.join();
  EXPECT_GE(served, 1);
  EXPECT_GE(past_limit, 1);
  EXPECT_EQ(other, 0);
}

// Workers that die right after they said they were ready are started again later each time, with a
// log line, up to a few seconds apart; meanwhile pages are turned away at once, and once workers
// stay the pool serves again.
TEST(PdfPool, WorkersDyingRightAfterTheirStartAreStartedAgainLessAndLessOften) {
  StartMode mode("die");
  vekt::testing::LogRecorder log(vekt::host::get_logger("vekt.pdf"));
  Pool pool(fake(1));
  auto lines = log.lines();
  for (int i = 0; i < 200 && lines.size() < 5; ++i) {
    std::this_thread::sleep_for(50ms);
    lines = log.lines();
  }
  ASSERT_GE(lines.size(), 5u);
  const std::vector<std::string> delays{"0.25 s", "0.5 s", "1 s", "2 s", "4 s"};
  for (std::size_t i = 0; i < delays.size(); ++i) {
    SCOPED_TRACE(lines[i].second);
    EXPECT_EQ(lines[i].first, "WARNING");
    EXPECT_TRUE(lines[i].second.starts_with("PDF worker died "));
    EXPECT_TRUE(lines[i].second.ends_with(" after it became ready (exited with status 3); the next PDF worker starts in " +
                                          delays[i]));
  }
  EXPECT_THROW(render(pool, "echo", "page"), WorkerUnavailable);
  mode.set("");
  std::optional<std::string> served;
  for (int i = 0; i < 100 && !served; ++i) {
    try {
      served = render(pool, "echo", "served");
    } catch (const WorkerUnavailable&) {
      std::this_thread::sleep_for(100ms);
    }
  }
  EXPECT_EQ(served, "served");
}

// While a render is under way the awaiting loop keeps serving its other work.
TEST(PdfPool, AwaitingARenderLeavesTheLoopFree) {
  Pool pool(fake(1));
  render(pool, "echo", "warm");
  asio::io_context io;
  int ticks = 0;
  bool done = false;
  asio::co_spawn(io, pool.render("sleep 0.5", "slow"), [&](std::exception_ptr, std::string) { done = true; });
  asio::co_spawn(
      io,
      [&]() -> asio::awaitable<void> {
        asio::steady_timer t(io);
        while (!done) {
          t.expires_after(20ms);
          co_await t.async_wait(asio::use_awaitable);
          ++ticks;
        }
      },
      asio::detached);
  io.run();
  EXPECT_GE(ticks, 10);
}

}  // namespace
