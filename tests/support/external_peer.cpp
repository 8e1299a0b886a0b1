// Starts and stops real peer programs for the tests (see external_peer.h).
#include "support/external_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace vntest {
namespace {

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool port_accepts(unsigned short port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0;
    close(fd);
    return ok;
}

// Waits for pid to end within ms; true when it did (and was reaped).
bool reap_within(pid_t pid, int ms) {
    long long deadline = now_ms() + ms;
    for (;;) {
        int status;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (now_ms() >= deadline) return false;
        usleep(2000);
    }
}

}  // namespace

unsigned short FreeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    unsigned short port = 0;
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr*>(&sa), &len) == 0) {
        port = ntohs(sa.sin_port);
    }
    close(fd);
    return port;
}

std::string MakeTempDir(const char* tag) {
    const char* base = getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/vnbase-" + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) return std::string();
    // Peers that drop privileges (danted's unprivileged user) must reach their files.
    chmod(buf.data(), 0755);
    return std::string(buf.data());
}

void RemoveTree(const std::string& dir) {
    if (dir.empty() || dir.find("/vnbase-") == std::string::npos) return;
    std::string cmd = "rm -rf '" + dir + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir.c_str());
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int CountOpenDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int n = 0;
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

bool HaveProgram(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

std::unique_ptr<ExternalPeer> ExternalPeer::Start(const std::vector<std::string>& argv,
                                                  unsigned short port, int timeout_ms,
                                                  std::string* why) {
    if (argv.empty() || !HaveProgram(argv[0])) {
        if (why) *why = "program not installed: " + (argv.empty() ? std::string() : argv[0]);
        return nullptr;
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        if (why) *why = std::string("fork: ") + strerror(errno);
        return nullptr;
    }
    if (pid == 0) {
        setpgid(0, 0);
        int devnull = open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            dup2(devnull, 0);
            dup2(devnull, 1);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    setpgid(pid, pid);
    std::unique_ptr<ExternalPeer> peer(new ExternalPeer(pid, port));
    long long deadline = now_ms() + timeout_ms;
    while (now_ms() < deadline) {
        if (port_accepts(port)) return peer;
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            peer->m_pid = -1;
            if (why) *why = argv[0] + " exited with status " + std::to_string(status);
            return nullptr;
        }
        usleep(5000);
    }
    if (why) *why = argv[0] + " did not listen on its port in time";
    return nullptr;
}

ExternalPeer::~ExternalPeer() {
    if (m_pid <= 0) return;
    kill(-m_pid, SIGTERM);
    if (!reap_within(m_pid, 3000)) {
        kill(-m_pid, SIGKILL);
        reap_within(m_pid, 3000);
    }
    // danted forks helpers into the same group; make sure none outlives the test.
    kill(-m_pid, SIGKILL);
}

}  // namespace vntest
