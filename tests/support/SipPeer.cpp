#include "tests/support/SipPeer.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace voip {

namespace {
bool UdpFree(int port)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}
} // namespace

int FreeUdpPort(int count, bool even)
{
    static std::mt19937 random{std::random_device{}()};
    for (int attempt = 0; attempt < 1000; ++attempt) {
        // Above the kernel's ephemeral range (32768-60999 here) and the media engines' ranges: a port
        // checked free stays free until the peer binds it, not taken by some socket bound to port 0.
        int port = 61000 + static_cast<int>(random() % 4000);
        if (even)
            port &= ~1;
        bool free = true;
        for (int i = 0; i < count && free; ++i)
            free = UdpFree(port + i);
        if (free)
            return port;
    }
    return -1;
}

bool WaitUntilBound(int port, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (UdpFree(port)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string Scenario(const std::string& name)
{
    return std::string(SELVANE_SIPP_DIR) + "/" + name + ".xml";
}

PeerProcess::~PeerProcess()
{
    if (input_ >= 0)
        close(input_);
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (!folder_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
}

bool PeerProcess::MakeFolder()
{
    if (!folder_.empty())
        return true;
    char folder[] = "/tmp/voip-peer-XXXXXX";
    if (!mkdtemp(folder))
        return false;
    folder_ = folder;
    return true;
}

bool PeerProcess::Run(const std::vector<std::string>& args, bool input)
{
    if (!MakeFolder() || args.empty())
        return false;
    std::vector<std::string> all = args;
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int pipeFds[2] = {-1, -1};
    // A peer that died must fail Write, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    if (input && pipe(pipeFds) != 0)
        return false;
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        if (chdir(folder_.c_str()) != 0)
            _exit(127);
        int log = open("peer.log", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(log, 1);
        dup2(log, 2);
        if (input) {
            dup2(pipeFds[0], 0);
            close(pipeFds[1]);
        } else {
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
        }
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (input) {
        close(pipeFds[0]);
        input_ = pipeFds[1];
    }
    return true;
}

bool PeerProcess::Write(const std::string& text)
{
    return input_ >= 0 && write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

int PeerProcess::Wait(std::chrono::milliseconds timeout)
{
    if (pid_ <= 0)
        return -1000;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1000;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string PeerProcess::Output() const
{
    std::ifstream in(folder_ + "/peer.log");
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool PeerProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout)
{
    return WaitForAnyOutput({text}, timeout);
}

bool PeerProcess::WaitForAnyOutput(const std::vector<std::string>& texts, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::string output = Output();
        for (const auto& text : texts)
            if (output.find(text) != std::string::npos)
                return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

std::string PeerProcess::Log() const
{
    std::ostringstream out;
    DIR* dir = opendir(folder_.c_str());
    if (!dir)
        return {};
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        std::ifstream in(folder_ + "/" + name);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.size() > 6000)
            text = text.substr(text.size() - 6000);
        out << "--- " << name << "\n" << text << "\n";
    }
    closedir(dir);
    return out.str();
}

bool SippProcess::Start(const std::vector<std::string>& args)
{
    std::vector<std::string> all = {"sipp"};
    all.insert(all.end(), args.begin(), args.end());
    all.insert(all.end(), {"-nostdin", "-trace_err", "-trace_screen"});
    return Run(all);
}

RawRtpPeer::RawRtpPeer()
{
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port = ntohs(addr.sin_port);
}

RawRtpPeer::~RawRtpPeer() { close(fd_); }

void RawRtpPeer::Send(int toPort, uint32_t timestamp, int payloadType, bool marker, const uint8_t* payload)
{
    uint8_t p[16] = {0x80, static_cast<uint8_t>((marker ? 0x80 : 0) | payloadType)};
    ++seq_;
    p[2] = static_cast<uint8_t>(seq_ >> 8);
    p[3] = static_cast<uint8_t>(seq_);
    for (int i = 0; i < 4; ++i) {
        p[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
        p[8 + i] = static_cast<uint8_t>(0x12345678u >> (24 - 8 * i));
        if (payload)
            p[12 + i] = payload[i];
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(toPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd_, p, sizeof p, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

void RawRtpPeer::SendEvent(int toPort, uint32_t timestamp, int event, bool end, bool marker, uint16_t duration)
{
    const uint8_t payload[4] = {static_cast<uint8_t>(event), static_cast<uint8_t>((end ? 0x80 : 0) | 10),
                                static_cast<uint8_t>(duration >> 8), static_cast<uint8_t>(duration)};
    Send(toPort, timestamp, 101, marker, payload);
}

std::string RawRtpPeer::Receive(int timeoutMs)
{
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return {};
    char buffer[2048];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

int64_t RawRtpPeer::ReceiveTimestamp(int timeoutMs)
{
    const std::string b = Receive(timeoutMs);
    if (b.size() < 12)
        return -1;
    auto byte = [&](size_t i) { return static_cast<uint32_t>(static_cast<uint8_t>(b[i])); };
    return static_cast<int64_t>(byte(4) << 24 | byte(5) << 16 | byte(6) << 8 | byte(7));
}

} // namespace voip
