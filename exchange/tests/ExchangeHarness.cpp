#include "exchange/tests/ExchangeHarness.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace exchange::test {

namespace {

class PhoneManager : public voip::Manager
{
public:
    ~PhoneManager() override { ShutDownEndpoints(); }
};

} // namespace

ExchangeConfig TestConfig()
{
    ExchangeConfig config = DefaultConfig();
    config.sipAddress = "127.0.0.1:0";
    config.controlAddress = "127.0.0.1:0";
    config.rtpFirstPort = 41000;
    config.rtpLastPort = 45000;
    return config;
}

ControlClient::~ControlClient() { Close(); }

bool ControlClient::Connect(int port)
{
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in addr = testsupport::LoopbackAddress(port);
    buffer_.clear();
    notifications.clear();
    return fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

void ControlClient::Close()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
}

bool ControlClient::SendRaw(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ControlClient::ReadLine(std::string& line, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        size_t newline = buffer_.find('\n');
        if (newline != std::string::npos) {
            line = buffer_.substr(0, newline);
            buffer_.erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || fd_ < 0)
            return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char chunk[4096];
        ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0)
            return false;
        buffer_.append(chunk, static_cast<size_t>(n));
    }
}

QJsonObject ControlClient::Next(std::chrono::milliseconds timeout)
{
    std::string line;
    if (!ReadLine(line, timeout))
        return {};
    return QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
}

QJsonObject ControlClient::Request(const std::string& method, const QJsonObject& params)
{
    int id = nextId_++;
    QJsonObject request{{"jsonrpc", "2.0"}, {"id", id}, {"method", QString::fromStdString(method)}};
    if (!params.isEmpty())
        request.insert("params", params);
    if (!SendRaw(QJsonDocument(request).toJson(QJsonDocument::Compact).toStdString() + "\n"))
        return {};
    for (;;) {
        QJsonObject message = Next();
        if (message.isEmpty())
            return {};
        if (message.contains("method"))
            notifications.push_back(message);
        else if (message.value("id").toInt() == id)
            return message;
    }
}

bool ControlClient::Login(const std::string& user, const std::string& password)
{
    QJsonObject answer = Request("login", {{"username", QString::fromStdString(user)},
                                           {"password", QString::fromStdString(password)}});
    return answer.value("result").toBool() &&
           Request("setClientType", {{"type", "callback"}}).value("result").toBool();
}

int ControlClient::OpenLine(const std::string& name)
{
    return Request("openLine", {{"name", QString::fromStdString(name)}}).value("result").toInt();
}

bool ControlClient::WaitState(int line, int state, std::chrono::milliseconds timeout)
{
    auto matches = [&](const QJsonObject& n) {
        QJsonObject p = n.value("params").toObject();
        return p.value("line").toInt() == line && p.value("state").toInt() == state;
    };
    for (const QJsonObject& n : notifications)
        if (matches(n))
            return true;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        QJsonObject message = Next(left);
        if (message.isEmpty())
            return false;
        if (!message.contains("method"))
            continue;
        notifications.push_back(message);
        if (matches(message))
            return true;
    }
    return false;
}

std::vector<int> ControlClient::TakeStates(int line)
{
    std::vector<int> states;
    std::deque<QJsonObject> rest;
    for (const QJsonObject& n : notifications) {
        QJsonObject p = n.value("params").toObject();
        if (p.value("line").toInt() == line)
            states.push_back(p.value("state").toInt());
        else
            rest.push_back(n);
    }
    notifications = rest;
    return states;
}

bool ControlClient::Closed(std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 100) < 0)
            return false;
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            char chunk[65536];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0)
                return true;
        }
    }
    return false;
}

Phone::Phone(const Exchange& exchange, const std::string& number, const std::string& password)
    : Phone(exchange.SipHost() + ":" + std::to_string(exchange.SipPort()), number, password)
{
}

Phone::Phone(const std::string& exchangeAddress, const std::string& number, const std::string& password)
    : manager_(std::make_unique<PhoneManager>()), number_(number), exchangeAddress_(exchangeAddress)
{
    sip_ = &manager_->AddEndpoint(std::make_unique<voip::SipEndpoint>(*manager_));
    local_ = &manager_->AddEndpoint(std::make_unique<voip::LocalEndpoint>(*manager_));
    manager_->AddRouteEntry(".* = local:");
    local_->SetEventHandler([this](const std::string& event) {
        if (event.rfind("released ", 0) != 0)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        releases_.push_back(event.substr(event.find(' ', 9) + 1));
        released_.notify_all();
    });
    for (int attempt = 0; attempt < 5; ++attempt)
        if (sip_->StartListeners({"127.0.0.1:" + std::to_string(testsupport::FreeUdpPort())}))
            break;
    voip::SipRegistrationParams params;
    params.registrarAddress = exchangeAddress_;
    params.addressOfRecord = number;
    params.password = password;
    sip_->Register(params, aor_);
}

Phone::~Phone() { manager_.reset(); }

bool Phone::Registered(std::chrono::milliseconds timeout)
{
    return WaitFor([&] { return sip_->IsRegistered(aor_); }, timeout);
}

std::string Phone::Dial(const std::string& number)
{
    std::string token;
    manager_->SetUpCall("local:", "sip:" + number + "@" + exchangeAddress_, token, nullptr, 0,
                        {{voip::kCallingPartyNumber, number_}});
    return token;
}

std::shared_ptr<voip::SipConnection> Phone::Leg(const std::string& token) const
{
    auto call = manager_->FindCall(token);
    if (!call)
        return nullptr;
    for (size_t i = 0; i < 2; ++i)
        if (auto leg = std::dynamic_pointer_cast<voip::SipConnection>(call->GetConnection(i)))
            return leg;
    return nullptr;
}

std::shared_ptr<voip::LocalConnection> Phone::Local(const std::string& token) const
{
    auto call = manager_->FindCall(token);
    if (!call)
        return nullptr;
    for (size_t i = 0; i < 2; ++i)
        if (auto local = std::dynamic_pointer_cast<voip::LocalConnection>(call->GetConnection(i)))
            return local;
    return nullptr;
}

std::vector<std::string> Phone::Calls() const { return manager_->GetCallTokens(); }

std::string Phone::WaitCall(std::chrono::milliseconds timeout) const
{
    std::string token;
    WaitFor(
        [&] {
            for (const std::string& t : manager_->GetCallTokens())
                if (manager_->IsCallEstablished(t)) {
                    token = t;
                    return true;
                }
            return false;
        },
        timeout);
    return token;
}

bool Phone::WaitEstablished(const std::string& token, std::chrono::milliseconds timeout) const
{
    return WaitFor([&] { return manager_->IsCallEstablished(token); }, timeout);
}

bool Phone::WaitGone(const std::string& token, std::chrono::milliseconds timeout) const
{
    return WaitFor([&] { return !manager_->FindCall(token); }, timeout);
}

uint64_t Phone::Received(const std::string& token) const
{
    auto leg = Leg(token);
    return leg ? leg->GetPacketsReceived() : 0;
}

std::string Phone::WaitRelease(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!released_.wait_for(lock, timeout, [this] { return !releases_.empty(); }))
        return {};
    std::string reason = releases_.front();
    releases_.pop_front();
    return reason;
}

void ExchangeFixture::Start(ExchangeConfig config)
{
    pbx = std::make_unique<Exchange>(config);
    std::string error;
    ASSERT_TRUE(pbx->Start(error)) << error;
    ASSERT_TRUE(control.Connect(pbx->ControlPort()));
    ASSERT_TRUE(control.Login());
}

std::unique_ptr<Phone> ExchangeFixture::Register(const std::string& number)
{
    auto phone = std::make_unique<Phone>(*pbx, number, number);
    EXPECT_TRUE(phone->Registered()) << number;
    return phone;
}

std::vector<int> ExchangeFixture::StatesUntil(int line, int state)
{
    EXPECT_TRUE(control.WaitState(line, state)) << "line " << line << " never reported " << state;
    return control.TakeStates(line);
}

} // namespace exchange::test
