// Starts and stops real peer programs for the tests (see external_peer.h).
#include "support/external_peer.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace vntest {

bool PollFor(const std::function<bool()>& done, int ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (; !done(); usleep(2000)) {
        if (std::chrono::steady_clock::now() >= end) return false;
    }
    return true;
}

int BindLoopback(int type, unsigned short* port, bool bIPv6) {
    int fd = socket(bIPv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa6{};
    sa6.sin6_family = AF_INET6;
    sa6.sin6_addr = in6addr_loopback;
    sockaddr_in sa4 = LoopbackAddr(0);
    sockaddr* sa = bIPv6 ? reinterpret_cast<sockaddr*>(&sa6) : reinterpret_cast<sockaddr*>(&sa4);
    socklen_t len = bIPv6 ? sizeof(sa6) : sizeof(sa4);
    if (fd >= 0 && bind(fd, sa, len) == 0 && getsockname(fd, sa, &len) == 0) {
        *port = ntohs(bIPv6 ? sa6.sin6_port : sa4.sin_port);
        return fd;
    }
    if (fd >= 0) close(fd);
    return -1;
}

unsigned short FreeLoopbackPort() {
    unsigned short port = 0;
    int fd = BindLoopback(SOCK_STREAM, &port);
    if (fd >= 0) close(fd);
    return port;
}

std::string MakeTempDir(const char* tag) {
    const char* base = getenv("TMPDIR");
    std::string dir = std::string(base && *base ? base : "/tmp") + "/vnbase-" + tag + "-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) return std::string();
    chmod(dir.c_str(), 0755);  // peers that drop privileges (danted) must reach their files
    return dir;
}

void RemoveTree(const std::string& dir) {
    std::error_code ec;  // only what MakeTempDir made, and nothing if it is gone already
    if (dir.find("/vnbase-") != std::string::npos) std::filesystem::remove_all(dir, ec);
}

bool WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    return static_cast<bool>(out << text);
}

std::string ReadTextFile(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> ListDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

int CountOpenDescriptors() {
    std::error_code ec;
    std::filesystem::directory_iterator it("/proc/self/fd", ec);
    return ec ? -1 : static_cast<int>(std::distance(it, std::filesystem::directory_iterator()));
}

bool HaveProgram(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

std::unique_ptr<ExternalPeer> ExternalPeer::Start(const std::vector<std::string>& argv,
                                                  unsigned short port, int timeout_ms,
                                                  std::string* why) {
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL);  // gone with the test even if it dies abnormally
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0);
        dup2(devnull, 1);
        execv(args[0], args.data());
        _exit(127);  // not installed (or not runnable)
    }
    std::unique_ptr<ExternalPeer> peer(new ExternalPeer(pid, port));
    int status = 0;
    bool ended = pid < 0;
    setpgid(pid, pid);
    auto listening = [&] {
        sockaddr_in sa = LoopbackAddr(port);
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
        if (fd >= 0) close(fd);
        ended = ended || (!ok && waitpid(pid, &status, WNOHANG) == pid);
        return ok || ended;
    };
    if (PollFor(listening, timeout_ms) && !ended) return peer;
    if (ended) peer->m_pid = -1;
    if (why) *why = argv[0] + (ended ? " ended, status " : " is not listening, status ");
    if (why) *why += std::to_string(status) + (status == 127 << 8 ? " (not installed?)" : "");
    return nullptr;
}

ExternalPeer::~ExternalPeer() {
    if (m_pid <= 0) return;
    auto reaped = [this] {
        pid_t r = waitpid(m_pid, nullptr, WNOHANG);
        return r == m_pid || (r < 0 && errno == ECHILD);
    };
    kill(-m_pid, SIGTERM);
    if (!PollFor(reaped, 3000)) kill(-m_pid, SIGKILL);
    PollFor(reaped, 3000);
    kill(-m_pid, SIGKILL);  // danted forks helpers into the same group: none outlives the test
}

}  // namespace vntest
