// vekt-server as a process: settings errors, serving the API description, exit on SIGTERM.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace {

const std::string SERVER = std::string(VEKT_BINARY_DIR) + "/bin/vekt-server";

struct Proc {
  pid_t pid = -1;
  int err_fd = -1;  // read end of the child's stderr
  std::string err;

  // Read stderr until `prefix` and the number after it show up (or the child closes it).
  std::optional<int> wait_for_number_after(const std::string& prefix) {
    char buf[4096];
    for (;;) {
      if (auto p = err.find(prefix); p != std::string::npos) {
        std::size_t b = p + prefix.size(), e = b;
        while (e < err.size() && std::isdigit(static_cast<unsigned char>(err[e]))) ++e;
        if (e < err.size() && e > b) return std::stoi(err.substr(b, e - b));
      }
      ssize_t n = ::read(err_fd, buf, sizeof buf);
      if (n <= 0) return std::nullopt;
      err.append(buf, static_cast<std::size_t>(n));
    }
  }
  int wait_exit() {
    char buf[4096];
    for (ssize_t n; (n = ::read(err_fd, buf, sizeof buf)) > 0;) err.append(buf, static_cast<std::size_t>(n));
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(err_fd);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// Start vekt-server in an empty directory (no .env around) with `env` added to the environment.
Proc start(const std::vector<std::string>& env) {
  int fds[2];
  if (::pipe(fds) != 0) throw std::runtime_error("pipe");
  // One empty directory per test process, removed when the process ends.
  struct WorkDir {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("vekt-server-test-" + std::to_string(::getpid()));
    WorkDir() { std::filesystem::create_directories(path); }
    ~WorkDir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  };
  static const WorkDir work_dir;
  const auto& dir = work_dir.path;
  Proc p;
  p.pid = ::fork();
  if (p.pid == 0) {
    ::dup2(fds[1], 2);
    int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::close(fds[0]);
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    for (const auto& kv : env) ::putenv(const_cast<char*>(kv.c_str()));
    ::execl(SERVER.c_str(), SERVER.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  p.err_fd = fds[0];
  return p;
}

// curl's output for a request; `curl_args` go before the URL (e.g. "-i -X OPTIONS -H 'Origin: x'").
std::string http_get(int port, const std::string& path, const std::string& curl_args = "") {
  std::string cmd = "curl -s -m 10 " + curl_args + " http://127.0.0.1:" + std::to_string(port) + path;
  std::string out;
  FILE* f = ::popen(cmd.c_str(), "r");
  if (!f) return out;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) out.append(buf.data(), n);
  ::pclose(f);
  return out;
}

TEST(VektServer, BadSettingExitsNamingIt) {
  struct Case {
    const char* setting;
    const char* name;
  };
  const Case cases[] = {{"VEKT_PORT=80x", "VEKT_PORT"},
                        {"VEKT_THREADS=-2", "VEKT_THREADS"},
                        {"FORWARDED_ALLOW_IPS=nope", "FORWARDED_ALLOW_IPS"},
                        {"VEKT_DB_POOL_SIZE=abc", "VEKT_DB_POOL_SIZE"},
                        {"DATABASE_URL=postgresql://127.0.0.1:55432/gis?sslmode", "DATABASE_URL"},
                        {"VEKT_REDIS_POOL=0", "VEKT_REDIS_POOL"},
                        {"REDIS_PORT=abc", "REDIS_PORT"}};
  for (const auto& c : cases) {
    Proc p = start({c.setting});
    int code = p.wait_exit();
    EXPECT_EQ(code, 2) << c.setting;
    EXPECT_NE(code, 0) << c.setting;
    EXPECT_EQ(p.err.rfind(std::string("vekt-server: ") + c.name + ":", 0), 0u) << p.err;
    EXPECT_NE(p.err.find(c.name), std::string::npos) << p.err;
  }
}

TEST(VektServer, ServesTheApiDescriptionAndStopsOnSigterm) {
  Proc p = start({"VEKT_PORT=0", "VEKT_THREADS=2"});
  auto port_found = p.wait_for_number_after("Listening on http://127.0.0.1:");
  ASSERT_TRUE(port_found) << p.err;
  int port = *port_found;
  auto doc = nlohmann::json::parse(http_get(port, "/openapi.json"), nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["openapi"], "3.0.2");
  EXPECT_TRUE(doc.contains("paths"));
  ::kill(p.pid, SIGTERM);
  EXPECT_EQ(p.wait_exit(), 0) << p.err;
}

TEST(VektServer, CorsFieldsOnEveryAnswerAndPreflights) {
  struct Case {
    const char* env;       // CORS_ALLOW_ORIGINS
    const char* args;      // curl arguments
    const char* path;
    const char* status;    // status line start
    const char* contains;  // "" = must carry no Access-Control-Allow-Origin
  };
  const Case cases[] = {
      {"CORS_ALLOW_ORIGINS=*", "-i -H 'Origin: https://maps.example.org'", "/openapi.json", "HTTP/1.1 200",
       "Access-Control-Allow-Origin: *"},
      {"CORS_ALLOW_ORIGINS=*", "-i", "/nowhere", "HTTP/1.1 404", "Access-Control-Allow-Origin: *"},
      {"CORS_ALLOW_ORIGINS=*",
       "-i -X OPTIONS -H 'Origin: https://maps.example.org' -H 'Access-Control-Request-Method: POST' "
       "-H 'Access-Control-Request-Headers: authorization'",
       "/gis/cache/invalidate/all", "HTTP/1.1 200", "Access-Control-Allow-Headers: authorization"},
      {"CORS_ALLOW_ORIGINS=https://maps.example.org", "-i -H 'Origin: https://maps.example.org'", "/nowhere",
       "HTTP/1.1 404", "Access-Control-Allow-Origin: https://maps.example.org"},
      {"CORS_ALLOW_ORIGINS=https://maps.example.org", "-i -H 'Origin: https://evil.example'", "/nowhere",
       "HTTP/1.1 404", ""},
      {"CORS_ALLOW_ORIGINS=", "-i -H 'Origin: https://maps.example.org'", "/nowhere", "HTTP/1.1 404", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.env) + " " + c.args + " " + c.path);
    Proc p = start({"VEKT_PORT=0", "VEKT_THREADS=1", c.env});
    auto port = p.wait_for_number_after("Listening on http://127.0.0.1:");
    ASSERT_TRUE(port) << p.err;
    std::string out = http_get(*port, c.path, c.args);
    EXPECT_EQ(out.rfind(c.status, 0), 0u) << out;
    if (*c.contains)
      EXPECT_NE(out.find(c.contains), std::string::npos) << out;
    else
      EXPECT_EQ(out.find("Access-Control-Allow-Origin"), std::string::npos) << out;
    ::kill(p.pid, SIGTERM);
    EXPECT_EQ(p.wait_exit(), 0) << p.err;
  }
}

}  // namespace
