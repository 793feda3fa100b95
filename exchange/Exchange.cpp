#include "exchange/Exchange.h"

#include "exchange/ControlServer.h"
#include "exchange/DialPlan.h"
#include "exchange/LineTable.h"
#include "exchange/RtpRelay.h"
#include "exchange/SipSwitch.h"

#include "common/Logging.h"

#include <QHostAddress>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace exchange {

namespace {

// A UDP port free on host now (the stack binds it right after).
int FreeUdpPort(const std::string& host)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    if (fd < 0 || inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        if (fd >= 0)
            close(fd);
        return 0;
    }
    socklen_t size = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

} // namespace

Exchange::Exchange(const ExchangeConfig& config)
    : config_(config), lines_(std::make_unique<LineTable>(config_)), plan_(std::make_unique<DialPlan>(config_))
{
}

Exchange::~Exchange() { Stop(); }

bool Exchange::Start(std::string& error)
{
    int port = 0;
    if (!SplitHostPort(config_.sipAddress, sipHost_, port, 5060)) {
        error = "bad SIP address " + config_.sipAddress;
        return false;
    }
    relay_ = std::make_unique<RtpRelay>(sipHost_, config_.rtpFirstPort, config_.rtpLastPort);
    if (!relay_->Start()) {
        error = "cannot start the media relay";
        return false;
    }
    sip_ = std::make_unique<SipSwitch>(config_, *lines_, *plan_, *relay_);
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        sipPort_ = port ? port : FreeUdpPort(sipHost_);
        started = sipPort_ > 0 && sip_->Start(sipHost_, sipPort_);
        if (port)
            break;
    }
    if (!started) {
        error = "cannot listen for SIP on " + config_.sipAddress;
        return false;
    }

    std::string controlHost;
    int wanted = 0;
    if (!SplitHostPort(config_.controlAddress, controlHost, wanted, 7577)) {
        error = "bad control address " + config_.controlAddress;
        return false;
    }
    controlThread_ = std::make_unique<QThread>();
    controlThread_->setObjectName(QStringLiteral("control"));
    auto server = std::make_unique<ControlServer>(*lines_, *plan_, config_.username, config_.password);
    server->moveToThread(controlThread_.get());
    control_ = server.release();
    controlThread_->start();
    bool listening = false;
    QMetaObject::invokeMethod(
        control_,
        [&] {
            listening = control_->Listen(QHostAddress(QString::fromStdString(controlHost)), quint16(wanted));
            controlPort_ = control_->Port();
        },
        Qt::BlockingQueuedConnection);
    if (!listening) {
        error = "cannot listen for control clients on " + config_.controlAddress;
        return false;
    }
    ControlServer* control = control_;
    lines_->SetObserver([control](int line, int call, CallState state) {
        QMetaObject::invokeMethod(control, [control, line, call, state] { control->Notify(line, call, state); },
                                  Qt::QueuedConnection);
    });
    Log(Notice, "exchange: SIP on " + sipHost_ + ":", sipPort_, ", control on " + controlHost + ":", controlPort_);
    return true;
}

void Exchange::Stop()
{
    lines_->SetObserver(nullptr);
    if (sip_)
        sip_->Stop();
    if (control_) {
        ControlServer* control = control_;
        QMetaObject::invokeMethod(control, [control] { delete control; }, Qt::BlockingQueuedConnection);
        control_ = nullptr;
    }
    if (controlThread_) {
        controlThread_->quit();
        controlThread_->wait();
        controlThread_.reset();
    }
    if (relay_)
        relay_->Stop();
}

} // namespace exchange
