#include "tests/support/Kamailio.h"

#include "tests/support/Loopback.h"
#include "tests/support/Wait.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

// A db_text field: the column separator and the escape character are escaped.
std::string Field(const std::string& value)
{
    std::string out;
    for (char c : value) {
        if (c == ':' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

int Count(const std::string& text, const std::string& what)
{
    int n = 0;
    for (size_t at = text.find(what); !what.empty() && at != std::string::npos;
         at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// An OPTIONS request for the server itself, the n-th one sent from port local.
std::string Probe(int port, int local, int n)
{
    const std::string server = "127.0.0.1:" + std::to_string(port), id = std::to_string(n);
    std::string request = "OPTIONS sip:" + server + " SIP/2.0\r\n";
    request +=
        "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(local) + ";branch=z9hG4bKprobe" + id + ";rport\r\n";
    request += "From: <sip:probe@127.0.0.1>;tag=probe" + id + "\r\n";
    request += "To: <sip:" + server + ">\r\n";
    request += "Call-ID: probe" + id + "@127.0.0.1\r\n";
    request += "CSeq: " + id + " OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
    return request;
}

} // namespace

std::string KamailioPeer::Program()
{
    std::vector<std::string> folders;
    if (const char* path = std::getenv("PATH")) {
        std::string all = path;
        for (size_t from = 0; from <= all.size();) {
            const size_t to = std::min(all.find(':', from), all.size());
            folders.push_back(all.substr(from, to - from));
            from = to + 1;
        }
    }
    // Not in a user's PATH on Debian.
    folders.insert(folders.end(), {"/usr/sbin", "/usr/local/sbin"});
    for (const auto& folder : folders) {
        const std::string candidate = folder + "/kamailio";
        if (!folder.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

std::string KamailioPeer::Configuration()
{
    return SELVANE_KAMAILIO_CFG;
}

KamailioPeer::KamailioPeer(std::vector<SipSubscriber> subscribers) : subscribers_(std::move(subscribers)) {}

KamailioPeer::~KamailioPeer()
{
    Stop(std::chrono::seconds(10));
    KillStragglers();
}

const std::string& KamailioPeer::Password(const std::string& user) const
{
    static const std::string none;
    for (const auto& s : subscribers_)
        if (s.user == user)
            return s.password;
    return none;
}

bool KamailioPeer::WriteTables() const
{
    // auth_db checks the subscriber table's version; registrations stay in memory (no location table).
    std::ofstream version(Folder() + "/version");
    version << "table_name(string) table_version(int)\nsubscriber:7\n";
    std::ofstream subscriber(Folder() + "/subscriber");
    subscriber << "id(int,auto) username(string) domain(string,null) password(string)\n";
    int id = 0;
    for (const auto& s : subscribers_)
        subscriber << ++id << ':' << Field(s.user) << ':' << Field(Realm()) << ':' << Field(s.password)
                   << '\n';
    return version.good() && subscriber.good();
}

bool KamailioPeer::Start(std::chrono::milliseconds timeout)
{
    const std::string program = Program();
    if (program.empty() || Running() || !MakeFolder() || !WriteTables())
        return false;
    KillStragglers();
    if (port_ == 0)
        port_ = FreeUdpPort();
    // One configuration: what differs per run comes as defines; -DD -E keeps it in the foreground
    // (its workers forked beside it) with its log on standard error.
    const std::string& folder = Folder();
    std::vector<std::string> args;
    // Should the test itself be killed (a time-out), kamailio gets SIGTERM and ends its workers.
    if (access("/usr/bin/setpriv", X_OK) == 0)
        args = {"/usr/bin/setpriv", "--pdeathsig", "TERM", "--"};
    args.insert(args.end(), {program, "-f", Configuration(), "-DD", "-E", "-m", "32", "-M", "4"});
    args.insert(args.end(), {"-Y", folder, "-P", folder + "/kamailio.pid", "-w", folder});
    args.insert(args.end(), {"-A", "SIP_PORT=" + std::to_string(port_)});
    args.insert(args.end(), {"-A", "DBURL=\"text://" + folder + "\""});
    args.insert(args.end(), {"-A", "CTL_SOCKET=\"unix:" + folder + "/kamailio_ctl\""});
    for (const auto& [name, value] : defines_)
        args.insert(args.end(), {"-A", name + "=" + value});
    return Run(args) && Answers(timeout);
}

bool KamailioPeer::Answers(std::chrono::milliseconds timeout)
{
    const int fd = BoundUdpSocket();
    if (fd < 0)
        return false;
    const int local = PortOf(fd);
    const sockaddr_in to = LoopbackAddress(port_);
    int probe = 0;
    const bool answered = WaitFor(
        [&] {
            if (!Running())
                return true;
            const std::string options = Probe(port_, local, ++probe);
            sendto(fd, options.data(), options.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
            pollfd p{fd, POLLIN, 0};
            char buffer[2048];
            while (poll(&p, 1, 200) > 0) {
                const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
                if (got > 12 && std::string(buffer, 12) == "SIP/2.0 200 ")
                    return true;
            }
            return false;
        },
        timeout, std::chrono::milliseconds(0));
    close(fd);
    return answered && Running();
}

void KamailioPeer::KillStragglers() const
{
    // The workers of a kamailio that was killed outlive it, holding its port: they are the processes
    // whose command line names this peer's own pid file.
    if (Folder().empty())
        return;
    const std::string mark = Folder() + "/kamailio.pid";
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "cmdline");
        const std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (cmdline.find(std::string(1, '\0') + mark + std::string(1, '\0')) != std::string::npos)
            kill(std::stoi(name), SIGKILL);
    }
}

int KamailioPeer::Logged(const std::string& text) const
{
    return Count(Output(), text);
}

bool KamailioPeer::WaitLogged(const std::string& text, int times, std::chrono::milliseconds timeout) const
{
    return WaitFor([&] { return Logged(text) >= times; }, timeout, std::chrono::milliseconds(20));
}

} // namespace testsupport
